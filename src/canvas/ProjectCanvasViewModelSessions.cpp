// The Repair and Deploy flows live in their own sessions; the controller's
// operations for them are one-line forwards.
#include "canvas/ProjectCanvasViewModel.h"

#include "canvas/RepairSession.h"

namespace nerim {

// ---- Repair ---------------------------------------------------------------------------------------

RepairSessionState &ProjectCanvasViewModel::repairState() const { return m_repair->state(); }
bool ProjectCanvasViewModel::canBeginRepair() const { return m_repair->canBegin(); }
std::optional<RepairContext> ProjectCanvasViewModel::makeRepairContext() const { return m_repair->makeContext(); }
RepairBannerCoordinator ProjectCanvasViewModel::repairBannerCoordinator() { return m_repair->bannerCoordinator(); }
AgentPaneState *ProjectCanvasViewModel::repairPane() const { return m_repair->pane(); }
QCoro::Task<> ProjectCanvasViewModel::beginRepair() { return m_repair->begin(); }
QCoro::Task<> ProjectCanvasViewModel::cancelRepair() { return m_repair->cancel(); }
QCoro::Task<> ProjectCanvasViewModel::retryRepairFromScratch() { return m_repair->retryFromScratch(); }
QCoro::Task<> ProjectCanvasViewModel::submitRepairSecret(QString name, QString value)
{
    return m_repair->submitSecret(std::move(name), std::move(value));
}

} // namespace nerim
