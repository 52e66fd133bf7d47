#pragma once

#include "deploy/DeployConfig.h"
#include "deploy/DeployHistoryEntry.h"
#include "deploy/DeploySessionState.h"
#include "foundation/NmColor.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

// The rules of the deploy interface as pure functions: which face, card and
// items are shown, with which texts, symbols, colours and enabled states. The
// widgets bind these looks and paint them; they decide nothing themselves.
namespace nerim::DeployLook {

// A palette token at an opacity.
struct Tint {
    NmRgb color;
    double opacity = 1.0;
    friend bool operator==(const Tint &, const Tint &) = default;
};
inline constexpr NmRgb white{255, 255, 255};

// The fixed texts of the deploy interface.
namespace Text {
// The pill
inline const QString deployButton = QStringLiteral("Deploy");
inline const QString deployButtonHelp = QStringLiteral("Push this project to a live URL");
inline const QString inProgressHelp = QStringLiteral("Deploy in progress \u2014 click to view the transcript");
inline const QString stuckPill = QStringLiteral("Deploy stuck \u2014 Try again");
inline const QString stuckHelp = QStringLiteral("Retry the deploy from scratch");
inline const QString livePrefix = QStringLiteral("Live \u00B7 ");
// The Live menu
inline const QString sectionActions = QStringLiteral("Actions");
inline const QString sectionEnv = QStringLiteral("Env & domain");
inline const QString sectionDanger = QStringLiteral("Danger zone");
inline const QString openLiveURL = QStringLiteral("Open live URL");
inline const QString copyURL = QStringLiteral("Copy URL");
inline const QString redeploy = QStringLiteral("Redeploy");
inline const QString viewTranscript = QStringLiteral("View deploy transcript");
inline const QString envVars = QStringLiteral("Env vars");
inline const QString addDomain = QStringLiteral("Add custom domain");
inline const QString deployOnPush = QStringLiteral("Also deploy when I push to main");
inline const QString rollBack = QStringLiteral("Roll back to earlier deploy");
inline const QString rollBackNone = QStringLiteral("Roll back \u2014 no earlier deploys yet");
inline const QString unpin = QStringLiteral("Unpin (hide Live pill)");
inline const QString noURL = QStringLiteral("(no URL)");
// The paste cards
inline const QString submit = QStringLiteral("Submit");
inline const QString tokenCloseHelp = QStringLiteral("Cancel the deploy. You can retry once you have the token.");
// The env-var checklist
inline const QString checklistTitle = QStringLiteral("Review env vars for ");
inline const QString checklistLead =
    QStringLiteral("Pick which values ship to production. Skip anything that's only for local development.");
inline const QString checklistEmpty = QStringLiteral("Nerim didn't find a .env file. Continuing without env vars.");
inline const QString checklistTooLarge =
    QStringLiteral("Nerim didn't read the .env file: it is larger than 1 MiB. Continuing without env vars.");
inline const QString choiceSend = QStringLiteral("Send to prod");
inline const QString choiceSkip = QStringLiteral("Skip");
inline const QString choiceCustom = QStringLiteral("Use different value");
inline const QString customPlaceholder = QStringLiteral("value");
inline const QString checklistContinue = QStringLiteral("Continue");
inline const QString checklistApply = QStringLiteral("Apply and continue");
// The domain cards
inline const QString domainTitle = QStringLiteral("Add a custom domain");
inline const QString domainLead =
    QStringLiteral("Type the domain you already own. Nerim will show you the DNS records to add at your registrar.");
inline const QString domainPlaceholder = QStringLiteral("myapp.com");
inline const QString fetchRecords = QStringLiteral("Fetch DNS records");
inline const QString verifyTitle = QStringLiteral("Add these DNS records at your registrar for ");
inline const QString verifyLead =
    QStringLiteral("DNS propagation usually takes 1\u20135 minutes. Nerim is checking every 10 seconds.");
inline const QString checkingBefore = QStringLiteral("Checking DNS\u2026 (");
inline const QString checkingAfter = QStringLiteral(" attempts remaining)");
inline const QString copyValueHelp = QStringLiteral("Copy value");
// The picker
inline const QString pickerTitle = QStringLiteral("Where do you want to deploy?");
inline const QString pickerLead = QStringLiteral("Pick one or more. Nerim will handle install, auth, and env vars.");
inline const QString pickerCancel = QStringLiteral("Cancel");
inline const QString pickEmpty = QStringLiteral("Pick at least one destination.");
inline const QString deployTo = QStringLiteral("Deploy to ");
inline const QString deployInOrder = QStringLiteral("Deploy in this order: ");
} // namespace Text

// ---- The pill -----------------------------------------------------------------------------

enum class PillFace { hidden, deployButton, inProgress, stuck, live };

// The face for a phase; idle and cancelled show the Deploy button only when unlocked.
PillFace pillFace(const DeploySessionState::Phase &phase, bool unlocked);
// A project unlocks by running right now, or by having a saved frontend URL.
bool deployUnlocked(bool devServerRunning, const std::optional<DeployConfig> &config);
// The text the face shows (upper-cased by the view): the phase's label for
// the in-progress face, fixed texts for the others.
QString pillText(PillFace face, const DeploySessionState::Phase &phase);
// The live URL of the live faces: the phase's url, or "https://" and the verified domain.
QString liveURLOfPhase(const DeploySessionState::Phase &phase);

// How a face is drawn: a capsule with a leading element, the text, and on
// the Live pill a trailing chevron.
struct PillChrome {
    enum class Lead { none, symbol, ring, dot };
    Lead lead = Lead::none;
    QString symbol; // the leading symbol (Deploy button, stuck pill)
    double symbolSize = 0;
    Tint leadTint{NmColor::ink};
    int spacing = 6;
    Tint fill{NmColor::paperBright};
    Tint stroke{NmColor::hairline};
    QString help;
    bool chevron = false;
    // The in-progress ring turns for as long as it is shown, whether or not
    // motion is reduced: it is the only sign that the deploy is still going.
    bool ringTurns = false;
};
PillChrome pillChrome(PillFace face);

// ---- The overlay -------------------------------------------------------------------------

enum class CardKind { none, token, secret, envChecklist, domainInput, domainVerify };

// The card a pane shows: only the pane the deploy session names, only in the
// five phases that ask something of the user.
CardKind cardKind(const std::optional<QUuid> &deployPaneID, const QUuid &paneID,
                  const DeploySessionState::Phase &phase);

// What a card knows about the answer it gave in the current phase. A card that
// has answered waits for the Deploy agent to act on it; once no Deploy agent
// runs any more (it exited without moving the phase on), the answer can no
// longer be acted upon and the card offers its action again.
struct AnswerState {
    bool answered = false;     // the card handed an answer over in this phase
    bool agentRunning = false; // the Deploy pane has a run going or queued
};
// Whether the card is still waiting for the agent to act on its answer.
bool awaitingAgent(const AnswerState &state);

// ---- The token and secret cards -------------------------------------------------------------

struct PasteCardLook {
    QString symbol;      // "key.horizontal" or "lock.rectangle.on.rectangle"
    QString explanation; // verbatim
    QString label;       // the variable name and "="
    QString placeholder; // empty
    QString submitTitle;
    bool submitEnabled = false;
    QString closeHelp; // the token card's only
    bool bottomRule = false;
};
PasteCardLook pasteCardLook(CardKind kind, const DeploySessionState::Phase &phase, const QString &draft);
// The value a submission sends, or nothing for an empty draft. A token loses
// the white space around it (a pasted line break would otherwise become part
// of it) unless nothing else is left, in which case it goes as typed; a
// secret value always goes as typed.
std::optional<QString> pasteSubmission(CardKind kind, const QString &draft);

// ---- The env-var checklist ------------------------------------------------------------------

struct EnvChoiceSegment {
    QString label;
    QString tag;
};
// "Send to prod", "Skip", "Use different value" with their tags, in this order.
const QList<EnvChoiceSegment> &envChoiceSegments();
// A row's decision: its entry, or "send" when it has none.
QString rowDecision(const QMap<QString, QString> &decisions, const QString &name);
// Whether a row shows its replacement field.
bool showsCustomField(const QString &decision);
// The decisions handed to the controller: one entry per listed name, "send",
// "skip", or "custom:" and the typed value ("skip" when nothing was typed).
QMap<QString, QString> resolvedDecisions(const QStringList &names, const QMap<QString, QString> &decisions,
                                         const QMap<QString, QString> &customDrafts);

struct ChecklistLook {
    QString symbol;
    QString title;
    QString lead;
    bool showsEmptyLine = false;
    QString emptyLine;
    QString buttonTitle;
    bool buttonEnabled = true;
    // Opened from the Live menu, the card can be left as it is (close mark and
    // Escape) and the live deploy stays as it was; during a deploy the
    // checklist is a step the deploy waits on, and closing the pane cancels it.
    bool closable = false;
};
// With no names, the line says why: no .env file, or one too large to read.
ChecklistLook checklistLook(DeployProvider hostingProvider, const QStringList &names, const AnswerState &answer,
                            bool envFileTooLarge = false, bool fromLiveMenu = false);

// ---- The domain cards ------------------------------------------------------------------------

struct DomainInputLook {
    QString symbol;
    QString title;
    QString lead;
    QString placeholder;
    QString buttonTitle;
    bool buttonEnabled = false;
};
DomainInputLook domainInputLook(const QString &draft);
// The domain a submission sends (trimmed, lower-cased), or nothing when it
// is not plausible.
std::optional<QString> domainSubmission(const QString &draft);

struct DomainVerifyLook {
    QString symbol;
    QString title;
    QString lead;
    QString checkingLine;
};
DomainVerifyLook domainVerifyLook(const QString &domain, int attemptsRemaining);

// ---- The picker -----------------------------------------------------------------------------

struct PickerRow {
    DeployProvider provider;
    QString name;
    QString tag;
    QString tagLine;
    QString symbol;
};
// The three rows, always Vercel, Railway, Supabase.
const QList<PickerRow> &pickerRows();

// Checked at first: the suggestion for the last launch command and the dependencies.
QSet<DeployProvider> pickerSeed(const QString &launchCommand, const QSet<QString> &dependencyNames);
// Any non-empty set can be deployed.
bool canCommitPicker(const QSet<DeployProvider> &checked);
// The footer line: "Pick at least one destination.", "Deploy to Vercel.",
// "Deploy in this order: Supabase → Railway → Vercel."
QString orderHint(const QSet<DeployProvider> &checked);
// The commit button's title: "Deploy", "Deploy to Vercel", "Deploy to 2 services".
QString commitTitle(const QSet<DeployProvider> &checked);

struct ProviderRowLook {
    QString indicator;
    Tint indicatorTint{NmColor::inkTertiary};
    Tint fill{NmColor::paperBright};
    Tint stroke{NmColor::hairline};
    double strokeWidth = 0.75;
};
ProviderRowLook providerRowLook(bool checked);

struct CommitButtonLook {
    QString title;
    Tint text{white};
    Tint fill{NmColor::ink};
    bool enabled = false;
};
CommitButtonLook commitButtonLook(const QSet<DeployProvider> &checked);

// ---- The Live menu --------------------------------------------------------------------------

// Titles made from agent text go into a menu escaped ("&" shown, never a mnemonic).
QString menuTitle(const QString &text);
// The live URL the system handler may open: http and https only.
bool isOpenableLiveURL(const QString &text);
// The providers Redeploy and Env vars work with: the session's, the saved ones, else Vercel.
QList<DeployProvider> redeployProviders(const std::optional<DeployContext> &context,
                                        const std::optional<DeployConfig> &config);
// "2026-12-07T10:00 · vercel+supabase · https://…": the time's first 16
// characters, the URL cut after 40 characters with "…"; characters as the
// user sees them, so an emoji is never split.
QString rollbackTitle(const DeployHistoryEntry &entry);
// The titles of the Roll back submenu, one per entry: where two entries would
// read the same (two deployments of one minute at one address), each such
// title names its deployment id as well, so no two lines look alike.
QStringList rollbackTitles(const QList<DeployHistoryEntry> &entries);

struct LiveMenuItem {
    enum class Kind { action, toggle, submenu, disabled };
    Kind kind = Kind::action;
    QString id;     // "retry", "open", "copy", "redeploy", "transcript", "env", "domain", "push", "rollback", "unpin"
    QString title;  // plain text (escape with menuTitle before putting it in a menu)
    QString symbol; // design symbol name
    bool checked = false;
    QString section; // the section it belongs to ("Actions", "Env & domain", "Danger zone")
    bool destructive = false;
    QList<DeployHistoryEntry> entries; // the rollback submenu's entries
};
// The rollback submenu holds the choices; with none, the item is disabled.
// `retryTitle`: a step on the live deploy failed; its "Try … again" item leads the menu.
QList<LiveMenuItem> liveMenuItems(bool autoDeployOnPush, const QList<DeployHistoryEntry> &choices,
                                  const std::optional<QString> &retryTitle = std::nullopt);

} // namespace nerim::DeployLook
