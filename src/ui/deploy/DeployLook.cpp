#include "ui/deploy/DeployLook.h"

#include "ui/design/Strings.h"

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
    case PillFace::deployButton: return Strings::Deploy::deployButton;
    case PillFace::inProgress: return phase.pillLabel();
    case PillFace::stuck: return Strings::Deploy::stuckPill;
    case PillFace::live: return QStringLiteral("Live \u00B7 ") + displayHost(liveURLOfPhase(phase));
    }
    return QString();
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

std::optional<QMap<QString, QString>> checklistDecisions(const QStringList &names, const QMap<QString, EnvChoice> &choices,
                                                          const QMap<QString, QString> &customDrafts)
{
    QMap<QString, QString> decisions;
    for (const QString &name : names) {
        switch (choices.value(name, EnvChoice::send)) {
        case EnvChoice::send: decisions.insert(name, QStringLiteral("send")); break;
        case EnvChoice::skip: decisions.insert(name, QStringLiteral("skip")); break;
        case EnvChoice::custom: {
            const QString draft = customDrafts.value(name);
            if (draft.trimmed().isEmpty())
                return std::nullopt;
            decisions.insert(name, QStringLiteral("custom:") + draft);
            break;
        }
        }
    }
    return decisions;
}

QSet<DeployProvider> pickerSeed(const QString &launchCommand, const QSet<QString> &dependencyNames)
{
    return DeployProvider::suggestedProviders(DeployProvider::classify(launchCommand), dependencyNames);
}

bool canCommitPicker(const QSet<DeployProvider> &checked)
{
    return checked.contains(DeployProvider::vercel) || checked.contains(DeployProvider::railway);
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

QList<DeployHistoryEntry> rollbackCandidates(const QList<DeployHistoryEntry> &recentLive)
{
    QList<DeployHistoryEntry> candidates;
    for (const DeployHistoryEntry &entry : recentLive.mid(qMax<qsizetype>(0, recentLive.size() - 6)))
        if (entry.deploymentID && !entry.deploymentID->isEmpty())
            candidates.append(entry);
    return candidates;
}

QString rollbackTitle(const DeployHistoryEntry &entry)
{
    QString url = entry.frontendURL.value_or(QStringLiteral("(no URL)"));
    if (url.size() > 40)
        url = url.left(40) + QChar(0x2026);
    return entry.timestamp.left(16) + QStringLiteral(" \u00B7 ") + entry.providers.join(QLatin1Char('+')) +
           QStringLiteral(" \u00B7 ") + url;
}

QList<LiveMenuItem> liveMenuItems(bool autoDeployOnPush, const QList<DeployHistoryEntry> &candidates)
{
    using K = LiveMenuItem::Kind;
    namespace S = Strings::Deploy;
    QList<LiveMenuItem> items{
        {K::action, QStringLiteral("open"), S::openLiveURL, QStringLiteral("arrow.up.right.square"), false, S::sectionActions, {}},
        {K::action, QStringLiteral("copy"), S::copyURL, QStringLiteral("doc.on.doc"), false, QString(), {}},
        {K::action, QStringLiteral("redeploy"), S::redeploy, QStringLiteral("arrow.clockwise.circle"), false, QString(), {}},
        {K::action, QStringLiteral("transcript"), S::viewTranscript, QStringLiteral("text.append"), false, QString(), {}},
        {K::action, QStringLiteral("env"), S::envVars, QStringLiteral("key.horizontal"), false, S::sectionEnv, {}},
        {K::action, QStringLiteral("domain"), S::addDomain, QStringLiteral("globe"), false, QString(), {}},
        {K::toggle, QStringLiteral("push"), S::deployOnPush, QStringLiteral("arrow.triangle.branch"), autoDeployOnPush,
         QString(), {}},
    };
    if (candidates.size() >= 2)
        items.append({K::submenu, QStringLiteral("rollback"), S::rollBack, QStringLiteral("arrow.uturn.backward.circle"),
                      false, S::sectionDanger, candidates.first(candidates.size() - 1)});
    else
        items.append({K::disabled, QStringLiteral("rollback"), S::rollBackNone,
                      QStringLiteral("arrow.uturn.backward.circle"), false, S::sectionDanger, {}});
    items.append({K::action, QStringLiteral("unpin"), S::unpin, QStringLiteral("pin.slash"), false, QString(), {}});
    return items;
}

} // namespace nerim::DeployLook
