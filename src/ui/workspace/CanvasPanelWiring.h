#pragma once

#include "sessions/RepairBannerCoordinator.h"

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QString>
#include <functional>

namespace nerim {

class ProjectCanvasViewModel;

// The six things the Plans panel can ask of its project.
struct PlansPanelCallbacks {
    std::function<void(const QString &text)> onGenerateRequested;
    std::function<void()> onRegenerateRequested;
    std::function<void()> onOrganizeRequested;
    std::function<void(const QString &fileName)> onOpenWorkspaceFile;
    std::function<void()> onCloseWorkspaceFile;
    std::function<void()> onRefreshWorkspace;
};

// The controller operations the panels' callbacks start. Each member left
// empty calls the controller's own operation.
struct CanvasPanelOperations {
    std::function<QCoro::Task<>(QString text)> sendPlansMessage;
    std::function<QCoro::Task<>()> organizePlans;
    std::function<QCoro::Task<>()> beginRepair;
    std::function<QCoro::Task<>()> cancelRepair;
    std::function<QCoro::Task<>(QString name, QString value)> submitRepairSecret;
};

// How the canvas screen wires the panels to the controller. Each callback
// that starts asynchronous work starts one task on the GUI thread that is not
// tied to the screen; it holds the controller weakly and does nothing once
// the controller is gone.
namespace CanvasPanelWiring {

PlansPanelCallbacks plansPanelCallbacks(QPointer<ProjectCanvasViewModel> canvas,
                                        CanvasPanelOperations operations = {});

// The coordinator for the controller's current state: the controller's own
// (`RepairSession::bannerCoordinator`), or, with operations
// handed in, one that starts those instead. Repairable exactly when the
// controller can begin a repair.
RepairBannerCoordinator repairBannerCoordinator(QPointer<ProjectCanvasViewModel> canvas,
                                                CanvasPanelOperations operations = {});

} // namespace CanvasPanelWiring

} // namespace nerim
