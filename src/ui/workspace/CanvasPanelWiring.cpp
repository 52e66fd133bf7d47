#include "ui/workspace/CanvasPanelWiring.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "plans/PlansWorkspaceStore.h"
#include "ui/workspace/CanvasScreenRules.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>

namespace nerim::CanvasPanelWiring {

namespace {

// The tasks the callbacks start. They take everything by value (a coroutine
// must not refer to the lambda that started it) and check the controller
// after every suspension.

QCoro::Task<> sendPlansMessage(QPointer<ProjectCanvasViewModel> canvas, QString text)
{
    if (!canvas)
        co_return;
    QCoro::Task<> sending = canvas->sendPlansMessage(text);
    co_await std::move(sending);
}

QCoro::Task<> organizePlans(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return;
    QCoro::Task<> organizing = canvas->organizePlans();
    co_await std::move(organizing);
}

QCoro::Task<> refreshWorkspace(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return;
    QFuture<QList<PlansWorkspaceStore::File>> listing = canvas->plansWorkspace().listFiles();
    const QList<PlansWorkspaceStore::File> files = co_await listing;
    if (!canvas)
        co_return;
    canvas->plan().setWorkspaceFiles(files);
}

QCoro::Task<> beginRepair(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return;
    QCoro::Task<> beginning = canvas->beginRepair();
    co_await std::move(beginning);
}

QCoro::Task<> cancelRepair(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return;
    QCoro::Task<> cancelling = canvas->cancelRepair();
    co_await std::move(cancelling);
}

QCoro::Task<> retryRepairFromScratch(QPointer<ProjectCanvasViewModel> canvas)
{
    if (!canvas)
        co_return;
    // The previous session is forgotten first, so that the new one starts
    // from `idle` with no pane, context or error of its own.
    RepairSessionState &repair = canvas->repairState();
    repair.setPhase(RepairSessionState::Phase::idle());
    repair.setRepairPaneID(std::nullopt);
    repair.setContext(std::nullopt);
    repair.setLastErrorText(std::nullopt);
    QCoro::Task<> beginning = canvas->beginRepair();
    co_await std::move(beginning);
}

QCoro::Task<> submitSecret(QPointer<ProjectCanvasViewModel> canvas, QString value)
{
    if (!canvas)
        co_return;
    const RepairSessionState::Phase phase = canvas->repairState().phase();
    if (phase.kind() != RepairSessionState::Phase::Kind::awaitingSecret)
        co_return;
    QCoro::Task<> submitting = canvas->submitRepairSecret(phase.varName(), value);
    co_await std::move(submitting);
}

} // namespace

PlansPanelCallbacks plansPanelCallbacks(QPointer<ProjectCanvasViewModel> canvas)
{
    PlansPanelCallbacks callbacks;
    callbacks.onGenerateRequested = [canvas](const QString &text) { sendPlansMessage(canvas, text); };
    callbacks.onRegenerateRequested = [canvas] {
        if (canvas)
            sendPlansMessage(canvas, CanvasScreenRules::regeneratePrompt(canvas->plan().goal()));
    };
    callbacks.onOrganizeRequested = [canvas] { organizePlans(canvas); };
    callbacks.onOpenWorkspaceFile = [canvas](const QString &fileName) {
        if (canvas)
            canvas->plan().setOpenWorkspaceFile(fileName);
    };
    callbacks.onCloseWorkspaceFile = [canvas] {
        if (canvas)
            canvas->plan().setOpenWorkspaceFile(std::nullopt);
    };
    callbacks.onRefreshWorkspace = [canvas] { refreshWorkspace(canvas); };
    return callbacks;
}

RepairBannerCoordinator repairBannerCoordinator(QPointer<ProjectCanvasViewModel> canvas)
{
    RepairBannerCoordinator coordinator;
    if (canvas)
        coordinator.isRepairable = CanvasScreenRules::isRepairable(
            canvas->devServerRunner().lastFailure().has_value(), canvas->lastLaunchAttemptDetectionError().has_value());
    coordinator.beginRepair = [canvas] { beginRepair(canvas); };
    coordinator.cancelRepair = [canvas] { cancelRepair(canvas); };
    coordinator.retryRepairFromScratch = [canvas] { retryRepairFromScratch(canvas); };
    coordinator.submitSecret = [canvas](const QString &value) { submitSecret(canvas, value); };
    return coordinator;
}

} // namespace nerim::CanvasPanelWiring
