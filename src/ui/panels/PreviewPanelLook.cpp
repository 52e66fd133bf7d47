#include "ui/panels/PreviewPanelLook.h"

#include "preview/PreviewState.h"
#include "ui/design/Strings.h"

namespace nerim::PreviewPanelLook {

QString displayTitle(const QString &title, const std::optional<QUrl> &loadedURL)
{
    if (!title.isEmpty())
        return title;
    if (loadedURL && !loadedURL->host().isEmpty())
        return loadedURL->host();
    return Strings::PreviewPanel::title;
}

bool showsEmptyState(const std::optional<QUrl> &loadedURL, bool isLoading) { return !loadedURL && !isLoading; }

Toolbar toolbar(bool canGoBack, bool canGoForward, bool isLoading)
{
    Toolbar t;
    t.back = {QStringLiteral("chevron.left"), canGoBack, Strings::PreviewPanel::back};
    t.forward = {QStringLiteral("chevron.right"), canGoForward, Strings::PreviewPanel::forward};
    t.reload = {isLoading ? QStringLiteral("xmark") : QStringLiteral("arrow.clockwise"), true,
                isLoading ? Strings::PreviewPanel::stopReload : Strings::PreviewPanel::reload};
    t.showsSpinner = isLoading;
    return t;
}

QString expandSymbol(bool isExpanded)
{
    return isExpanded ? QStringLiteral("arrow.down.right.and.arrow.up.left")
                      : QStringLiteral("arrow.up.left.and.arrow.down.right");
}

QString expandHelp(bool isExpanded)
{
    return isExpanded ? Strings::PreviewPanel::collapseHelp : Strings::PreviewPanel::expandHelp;
}

Strip strip(const std::optional<RepairSessionState::Phase> &phase, const std::optional<QString> &error,
            bool hasCoordinator, bool isRepairable)
{
    using Kind = RepairSessionState::Phase::Kind;
    Strip s;
    const Kind kind = phase ? phase->kind() : Kind::idle;
    switch (kind) {
    case Kind::idle:
    case Kind::cancelled:
        if (error && !error->isEmpty()) {
            s.row = Strip::Row::error;
            s.text = *error;
            s.showsAsk = hasCoordinator && isRepairable;
        }
        break;
    case Kind::preparing:
    case Kind::repairing:
    case Kind::retryingApp:
        s.row = Strip::Row::progress;
        s.text = phase->displayText();
        s.showsCancel = hasCoordinator;
        break;
    case Kind::awaitingSecret:
        s.row = Strip::Row::secret;
        s.text = phase->explanation();
        s.varName = phase->varName();
        s.showsCancel = hasCoordinator;
        break;
    case Kind::fixed:
        s.row = Strip::Row::fixed;
        s.text = phase->displayText();
        break;
    case Kind::stuck:
        s.row = Strip::Row::stuck;
        s.text = phase->reason();
        s.showsTryAgain = hasCoordinator;
        break;
    }
    return s;
}

std::optional<QString> submittedSecret(const QString &draft, bool hasCoordinator)
{
    if (draft.isEmpty() || !hasCoordinator)
        return std::nullopt;
    return draft;
}

void dismissErrorRow(PreviewState &state) { state.setError(std::nullopt); }

void dismissStuckRow(PreviewState &state, RepairSessionState *repairState)
{
    state.setError(std::nullopt);
    if (!repairState)
        return;
    repairState->setPhase(RepairSessionState::Phase::idle());
    repairState->setRepairPaneID(std::nullopt);
    repairState->setContext(std::nullopt);
    repairState->setLastErrorText(std::nullopt);
}

} // namespace nerim::PreviewPanelLook
