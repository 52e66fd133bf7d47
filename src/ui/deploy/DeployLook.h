#pragma once

#include "deploy/DeployConfig.h"
#include "deploy/DeployHistoryEntry.h"
#include "deploy/DeploySessionState.h"

#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim::DeployLook {

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

// ---- The overlay -------------------------------------------------------------------------

enum class CardKind { none, token, secret, envChecklist, domainInput, domainVerify };

// The card a pane shows: only the pane the deploy session names, only in the
// five phases that ask something of the user.
CardKind cardKind(const std::optional<QUuid> &deployPaneID, const QUuid &paneID,
                  const DeploySessionState::Phase &phase);

// ---- The env-var checklist ------------------------------------------------------------------

enum class EnvChoice { send, skip, custom };

// The decisions the card hands to the controller: "send", "skip" or
// "custom:" and the draft; a variable without a choice is sent. A custom
// choice with a blank draft is not ready.
std::optional<QMap<QString, QString>> checklistDecisions(const QStringList &names,
                                                          const QMap<QString, EnvChoice> &choices,
                                                          const QMap<QString, QString> &customDrafts);

// ---- The picker -----------------------------------------------------------------------------

// Checked at first: the suggestion for the last launch command and the dependencies.
QSet<DeployProvider> pickerSeed(const QString &launchCommand, const QSet<QString> &dependencyNames);
// The commit needs a provider that hosts the app (Vercel or Railway).
bool canCommitPicker(const QSet<DeployProvider> &checked);

// ---- The Live menu --------------------------------------------------------------------------

// Titles made from agent text go into a menu escaped ("&" shown, never a mnemonic).
QString menuTitle(const QString &text);
// The live URL the system handler may open: http and https only.
bool isOpenableLiveURL(const QString &text);
// The providers Redeploy and Env vars work with: the session's, the saved ones, else Vercel.
QList<DeployProvider> redeployProviders(const std::optional<DeployContext> &context,
                                        const std::optional<DeployConfig> &config);
// Live entries with a deployment id, of the last six live ones.
QList<DeployHistoryEntry> rollbackCandidates(const QList<DeployHistoryEntry> &recentLive);
// "2026-12-07T10:00 · vercel+supabase · https://…" (the URL cut at 40 characters with "…").
QString rollbackTitle(const DeployHistoryEntry &entry);

struct LiveMenuItem {
    enum class Kind { action, toggle, submenu, disabled, separator };
    Kind kind = Kind::action;
    QString id;     // "open", "copy", "redeploy", "transcript", "env", "domain", "push", "rollback", "unpin"
    QString title;  // plain text (escape with menuTitle before putting it in a menu)
    QString symbol; // design symbol name; empty for none
    bool checked = false;
    QString section; // the section it opens ("Actions", "Env & domain", "Danger zone")
    QList<DeployHistoryEntry> entries; // the rollback submenu's entries (all but the most recent)
};
QList<LiveMenuItem> liveMenuItems(bool autoDeployOnPush, const QList<DeployHistoryEntry> &candidates);

} // namespace nerim::DeployLook
