#include "ui/workspace/CanvasPanelWiring.h"

#include "canvas/ProjectCanvasViewModel.h"
#include "plans/PlansWorkspaceStore.h"
#include "ui/workspace/CanvasScreenLook.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTask>

namespace nerim::CanvasPanelWiring {

namespace {

QCoro::Task<> nothing()
{
    co_return;
}

// The controller's own operations for the members left empty. They hold the
// controller weakly: once it is gone they do nothing.
CanvasPanelOperations completed(QPointer<ProjectCanvasViewModel> canvas, CanvasPanelOperations ops)
{
    if (!ops.sendPlansMessage)
        ops.sendPlansMessage = [canvas](QString text) {
            return canvas ? canvas->sendPlansMessage(std::move(text)) : nothing();
        };
    if (!ops.organizePlans)
        ops.organizePlans = [canvas] { return canvas ? canvas->organizePlans() : nothing(); };
    if (!ops.beginRepair)
        ops.beginRepair = [canvas] { return canvas ? canvas->repairSession().begin() : nothing(); };
    if (!ops.cancelRepair)
        ops.cancelRepair = [canvas] { return canvas ? canvas->repairSession().cancel() : nothing(); };
    if (!ops.submitRepairSecret)
        ops.submitRepairSecret = [canvas](QString name, QString value) {
            return canvas ? canvas->repairSession().submitSecret(std::move(name), std::move(value)) : nothing();
        };
    return ops;
}

// The tasks the callbacks start. They take everything by value (a coroutine
// must not refer to the lambda that started it) and check the controller
// after every suspension.

QCoro::Task<> run(QPointer<ProjectCanvasViewModel> canvas, std::function<QCoro::Task<>()> operation)
{
    if (!canvas)
        co_return;
    QCoro::Task<> running = operation();
    co_await std::move(running);
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

QCoro::Task<> retryRepairFromScratch(QPointer<ProjectCanvasViewModel> canvas, CanvasPanelOperations ops)
{
    if (!canvas)
        co_return;
    // The previous session is forgotten first, so that the new one starts
    // from `idle` with no pane, context or error of its own.
    RepairSessionState &repair = canvas->repairSession().state();
    if (repair.phase().isActive())
        co_return; // a session still running is not thrown away
    repair.setPhase(RepairSessionState::Phase::idle());
    repair.setRepairPaneID(std::nullopt);
    repair.setContext(std::nullopt);
    repair.setLastErrorText(std::nullopt);
    QCoro::Task<> beginning = ops.beginRepair();
    co_await std::move(beginning);
}

QCoro::Task<> submitSecret(QPointer<ProjectCanvasViewModel> canvas, CanvasPanelOperations ops, QString value)
{
    if (!canvas)
        co_return;
    const RepairSessionState::Phase phase = canvas->repairSession().state().phase();
    if (phase.kind() != RepairSessionState::Phase::Kind::awaitingSecret)
        co_return;
    QCoro::Task<> submitting = ops.submitRepairSecret(phase.varName(), value);
    co_await std::move(submitting);
}

} // namespace

PlansPanelCallbacks plansPanelCallbacks(QPointer<ProjectCanvasViewModel> canvas, CanvasPanelOperations operations)
{
    const CanvasPanelOperations ops = completed(canvas, std::move(operations));
    PlansPanelCallbacks callbacks;
    callbacks.onGenerateRequested = [canvas, ops](const QString &text) {
        run(canvas, [ops, text] { return ops.sendPlansMessage(text); });
    };
    callbacks.onRegenerateRequested = [canvas, ops] {
        if (!canvas)
            return;
        const QString prompt = CanvasScreenLook::regeneratePrompt(canvas->plan().goal());
        run(canvas, [ops, prompt] { return ops.sendPlansMessage(prompt); });
    };
    callbacks.onOrganizeRequested = [canvas, ops] { run(canvas, ops.organizePlans); };
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

RepairBannerCoordinator repairBannerCoordinator(QPointer<ProjectCanvasViewModel> canvas,
                                                CanvasPanelOperations operations)
{
    const bool injected = operations.beginRepair || operations.cancelRepair || operations.submitRepairSecret;
    if (!injected)
        return canvas ? canvas->repairSession().bannerCoordinator() : RepairBannerCoordinator{};
    const CanvasPanelOperations ops = completed(canvas, std::move(operations));
    RepairBannerCoordinator coordinator;
    // The same predicate the repair loop begins by, so the banner never offers
    // a repair that would do nothing.
    if (canvas)
        coordinator.isRepairable = canvas->repairSession().canBegin();
    coordinator.beginRepair = [canvas, ops] { run(canvas, ops.beginRepair); };
    coordinator.cancelRepair = [canvas, ops] { run(canvas, ops.cancelRepair); };
    coordinator.retryRepairFromScratch = [canvas, ops] { retryRepairFromScratch(canvas, ops); };
    coordinator.submitSecret = [canvas, ops](const QString &value) { submitSecret(canvas, ops, value); };
    return coordinator;
}

} // namespace nerim::CanvasPanelWiring
