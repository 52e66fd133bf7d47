#include "ui/deploy/DeployLook.h"

#include "foundation/Text.h"

#include <QHash>
#include <QUrl>

namespace nerim::DeployLook {

using Kind = DeploySessionState::Phase::Kind;

PillFace pillFace(const DeploySessionState::Phase &phase, bool unlocked)
{
    switch (phase.kind()) {
    case Kind::live:
    case Kind::customDomainVerified: return PillFace::live;
    case Kind::stuck: return PillFace::stuck;
    case Kind::idle:
    case Kind::cancelled: return unlocked ? PillFace::deployButton : PillFace::hidden;
    default: return PillFace::inProgress;
    }
}

bool deployUnlocked(bool devServerRunning, const std::optional<DeployConfig> &config)
{
    return devServerRunning || (config && config->frontendURL.has_value());
}

QString pillText(PillFace face, const DeploySessionState::Phase &phase)
{
    switch (face) {
    case PillFace::hidden: return QString();
    case PillFace::deployButton: return Text::deployButton;
    case PillFace::inProgress: return phase.pillLabel();
    case PillFace::stuck: return Text::stuckPill;
    case PillFace::live: return Text::livePrefix + displayHost(liveURLOfPhase(phase));
    }
    return QString();
}

PillChrome pillChrome(PillFace face)
{
    PillChrome chrome;
    switch (face) {
    case PillFace::hidden: break;
    case PillFace::deployButton:
        chrome.lead = PillChrome::Lead::symbol;
        chrome.symbol = QStringLiteral("arrow.up.circle");
        chrome.symbolSize = 11;
        chrome.leadTint = {NmColor::ink};
        chrome.spacing = 6;
        chrome.fill = {NmColor::paperBright, 0.92};
        chrome.stroke = {NmColor::hairline, 0.55};
        chrome.help = Text::deployButtonHelp;
        break;
    case PillFace::inProgress:
        chrome.lead = PillChrome::Lead::ring;
        chrome.leadTint = {NmColor::accent};
        chrome.spacing = 8;
        chrome.fill = {NmColor::accentSoft, 0.6};
        chrome.stroke = {NmColor::accent, 0.55};
        chrome.help = Text::inProgressHelp;
        chrome.ringTurns = true;
        break;
    case PillFace::stuck:
        chrome.lead = PillChrome::Lead::symbol;
        chrome.symbol = QStringLiteral("exclamationmark.triangle.fill");
        chrome.symbolSize = 10;
        chrome.leadTint = {NmColor::warning};
        chrome.spacing = 6;
        chrome.fill = {NmColor::warning, 0.14};
        chrome.stroke = {NmColor::warning, 0.55};
        chrome.help = Text::stuckHelp;
        break;
    case PillFace::live:
        chrome.lead = PillChrome::Lead::dot;
        chrome.leadTint = {NmColor::success};
        chrome.spacing = 6;
        chrome.fill = {NmColor::success, 0.14};
        chrome.stroke = {NmColor::success, 0.55};
        chrome.chevron = true;
        break;
    }
    return chrome;
}

QString liveURLOfPhase(const DeploySessionState::Phase &phase)
{
    if (phase.kind() == Kind::customDomainVerified)
        return QStringLiteral("https://") + phase.domain();
    return phase.url();
}

CardKind cardKind(const std::optional<QUuid> &deployPaneID, const QUuid &paneID, const DeploySessionState::Phase &phase)
{
    if (!deployPaneID || *deployPaneID != paneID)
        return CardKind::none;
    switch (phase.kind()) {
    case Kind::awaitingToken: return CardKind::token;
    case Kind::awaitingSecret: return CardKind::secret;
    case Kind::envVarChecklist: return CardKind::envChecklist;
    case Kind::customDomainInput: return CardKind::domainInput;
    case Kind::customDomainVerifying: return CardKind::domainVerify;
    default: return CardKind::none;
    }
}

bool awaitingAgent(const AnswerState &state) { return state.answered && state.agentRunning; }

PasteCardLook pasteCardLook(CardKind kind, const DeploySessionState::Phase &phase, const QString &draft)
{
    PasteCardLook look;
    const bool token = kind == CardKind::token;
    look.symbol = token ? QStringLiteral("key.horizontal") : QStringLiteral("lock.rectangle.on.rectangle");
    look.explanation = phase.explanation();
    look.label = phase.varName() + QLatin1Char('=');
    look.submitTitle = Text::submit;
    look.submitEnabled = !draft.isEmpty();
    look.closeHelp = token ? Text::tokenCloseHelp : QString();
    look.bottomRule = token;
    return look;
}

std::optional<QString> pasteSubmission(CardKind kind, const QString &draft)
{
    if (draft.isEmpty())
        return std::nullopt;
    if (kind == CardKind::token) {
        const QString trimmed = draft.trimmed();
        if (!trimmed.isEmpty())
            return trimmed;
    }
    return draft;
}

const QList<EnvChoiceSegment> &envChoiceSegments()
{
    static const QList<EnvChoiceSegment> segments{
        {Text::choiceSend, QStringLiteral("send")},
        {Text::choiceSkip, QStringLiteral("skip")},
        {Text::choiceCustom, QStringLiteral("custom")},
    };
    return segments;
}

QString rowDecision(const QMap<QString, QString> &decisions, const QString &name)
{
    return decisions.value(name, QStringLiteral("send"));
}

bool showsCustomField(const QString &decision) { return decision == QLatin1String("custom"); }

QMap<QString, QString> resolvedDecisions(const QStringList &names, const QMap<QString, QString> &decisions,
                                         const QMap<QString, QString> &customDrafts)
{
    QMap<QString, QString> result;
    for (const QString &name : names) {
        QString decision = rowDecision(decisions, name);
        if (decision == QLatin1String("custom")) {
            const QString value = customDrafts.value(name);
            decision = value.isEmpty() ? QStringLiteral("skip") : QStringLiteral("custom:") + value;
        }
        result.insert(name, decision);
    }
    return result;
}

ChecklistLook checklistLook(DeployProvider hostingProvider, const QStringList &names, const AnswerState &answer,
                            bool envFileTooLarge, bool fromLiveMenu)
{
    ChecklistLook look;
    look.symbol = QStringLiteral("checklist");
    look.title = Text::checklistTitle + hostingProvider.displayName();
    look.lead = Text::checklistLead;
    look.showsEmptyLine = names.isEmpty();
    look.emptyLine = envFileTooLarge ? Text::checklistTooLarge : Text::checklistEmpty;
    look.buttonTitle = names.isEmpty() ? Text::checklistContinue : Text::checklistApply;
    // Pressed once, the button waits while the Deploy agent uploads the
    // choices, so they are not sent twice; it comes back when the agent has
    // exited without moving the deploy on.
    look.buttonEnabled = !awaitingAgent(answer);
    look.closable = fromLiveMenu;
    return look;
}

DomainInputLook domainInputLook(const QString &draft)
{
    DomainInputLook look;
    look.symbol = QStringLiteral("globe");
    look.title = Text::domainTitle;
    look.lead = Text::domainLead;
    look.placeholder = Text::domainPlaceholder;
    look.buttonTitle = Text::fetchRecords;
    look.buttonEnabled = isPlausibleDomain(draft);
    return look;
}

std::optional<QString> domainSubmission(const QString &draft)
{
    const QString cleaned = cleanedDomain(draft);
    if (!isPlausibleDomain(cleaned))
        return std::nullopt;
    return cleaned;
}

DomainVerifyLook domainVerifyLook(const QString &domain, int attemptsRemaining)
{
    DomainVerifyLook look;
    look.symbol = QStringLiteral("globe");
    look.title = Text::verifyTitle + domain;
    look.lead = Text::verifyLead;
    look.checkingLine = Text::checkingBefore + QString::number(attemptsRemaining) + Text::checkingAfter;
    return look;
}

const QList<PickerRow> &pickerRows()
{
    static const QList<PickerRow> rows{
        {DeployProvider::vercel, QStringLiteral("Vercel"), QStringLiteral("Frontend hosting"),
         QStringLiteral("Next.js, Vite, static"), QStringLiteral("triangle.fill")},
        {DeployProvider::railway, QStringLiteral("Railway"), QStringLiteral("Frontend hosting"),
         QStringLiteral("Node, Python, Docker"), QStringLiteral("tram.fill")},
        {DeployProvider::supabase, QStringLiteral("Supabase"), QStringLiteral("Backend / DB / Auth"),
         QStringLiteral("Postgres, Auth, Storage"), QStringLiteral("bolt.fill")},
    };
    return rows;
}

QSet<DeployProvider> pickerSeed(const QString &launchCommand, const QSet<QString> &dependencyNames)
{
    return DeployProvider::suggestedProviders(DeployProvider::classify(launchCommand), dependencyNames);
}

bool canCommitPicker(const QSet<DeployProvider> &checked) { return !checked.isEmpty(); }

QString orderHint(const QSet<DeployProvider> &checked)
{
    if (checked.isEmpty())
        return Text::pickEmpty;
    QStringList names;
    for (DeployProvider provider : DeployProvider::deployOrder(checked))
        names.append(provider.displayName());
    if (names.size() == 1)
        return Text::deployTo + names.first() + QLatin1Char('.');
    return Text::deployInOrder + names.join(QStringLiteral(" \u2192 ")) + QLatin1Char('.');
}

QString commitTitle(const QSet<DeployProvider> &checked)
{
    if (checked.isEmpty())
        return Text::deployButton;
    if (checked.size() == 1)
        return Text::deployTo + checked.begin()->displayName();
    return Text::deployTo + QString::number(checked.size()) + QStringLiteral(" services");
}

ProviderRowLook providerRowLook(bool checked)
{
    if (checked)
        return {QStringLiteral("checkmark.circle.fill"), {NmColor::accent}, {NmColor::accentSoft, 0.35},
                {NmColor::accent, 0.75}, 1.25};
    return {QStringLiteral("circle"), {NmColor::inkTertiary}, {NmColor::paperBright, 0.9}, {NmColor::hairline, 0.55},
            0.75};
}

CommitButtonLook commitButtonLook(const QSet<DeployProvider> &checked)
{
    if (checked.isEmpty())
        return {commitTitle(checked), {NmColor::inkTertiary}, {NmColor::hairline, 0.35}, false};
    return {commitTitle(checked), {white}, {NmColor::ink}, true};
}

QString menuTitle(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
    return escaped;
}

bool isOpenableLiveURL(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

QList<DeployProvider> redeployProviders(const std::optional<DeployContext> &context,
                                        const std::optional<DeployConfig> &config)
{
    if (context && !context->providersInOrder.isEmpty())
        return context->providersInOrder;
    if (config && !config->providers.isEmpty())
        return config->providers;
    return {DeployProvider::vercel};
}

QString rollbackTitle(const DeployHistoryEntry &entry)
{
    QString url = entry.frontendURL.value_or(Text::noURL);
    if (text::characterCount(url) > 40)
        url = text::characterPrefix(url, 40) + QChar(0x2026);
    return text::characterPrefix(entry.timestamp, 16) + QStringLiteral(" \u00B7 ") +
           entry.providers.join(QLatin1Char('+')) + QStringLiteral(" \u00B7 ") + url;
}

QStringList rollbackTitles(const QList<DeployHistoryEntry> &entries)
{
    QStringList titles;
    QHash<QString, int> uses;
    for (const DeployHistoryEntry &entry : entries) {
        titles.append(rollbackTitle(entry));
        ++uses[titles.last()];
    }
    for (qsizetype i = 0; i < titles.size(); ++i)
        if (uses.value(titles.at(i)) > 1 && entries.at(i).deploymentID)
            titles[i] += QStringLiteral(" \u00B7 ") + *entries.at(i).deploymentID;
    return titles;
}

QList<LiveMenuItem> liveMenuItems(bool autoDeployOnPush, const QList<DeployHistoryEntry> &choices,
                                  const std::optional<QString> &retryTitle)
{
    using K = LiveMenuItem::Kind;
    const auto item = [](K kind, const char *id, const QString &title, const char *symbol, const QString &section) {
        LiveMenuItem made;
        made.kind = kind;
        made.id = QLatin1String(id);
        made.title = title;
        made.symbol = QLatin1String(symbol);
        made.section = section;
        return made;
    };
    QList<LiveMenuItem> items{
        item(K::action, "open", Text::openLiveURL, "arrow.up.right.square", Text::sectionActions),
        item(K::action, "copy", Text::copyURL, "doc.on.doc", Text::sectionActions),
        item(K::action, "redeploy", Text::redeploy, "arrow.clockwise.circle", Text::sectionActions),
        item(K::action, "transcript", Text::viewTranscript, "text.append", Text::sectionActions),
        item(K::action, "env", Text::envVars, "key.horizontal", Text::sectionEnv),
        item(K::action, "domain", Text::addDomain, "globe", Text::sectionEnv),
        item(K::toggle, "push", Text::deployOnPush, "arrow.triangle.branch", Text::sectionEnv),
    };
    items.last().checked = autoDeployOnPush;
    if (retryTitle)
        items.prepend(item(K::action, "retry", *retryTitle, "arrow.clockwise", Text::sectionActions));
    if (!choices.isEmpty()) {
        items.append(item(K::submenu, "rollback", Text::rollBack, "arrow.uturn.backward.circle", Text::sectionDanger));
        items.last().entries = choices;
    } else {
        items.append(item(K::disabled, "rollback", Text::rollBackNone, "arrow.uturn.backward.circle",
                          Text::sectionDanger));
    }
    items.append(item(K::action, "unpin", Text::unpin, "pin.slash", Text::sectionDanger));
    items.last().destructive = true;
    return items;
}

} // namespace nerim::DeployLook
