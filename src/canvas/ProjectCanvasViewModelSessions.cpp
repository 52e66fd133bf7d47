// The Repair and Deploy flows live in their own sessions; the controller's
// operations for them are one-line forwards.
#include "canvas/ProjectCanvasViewModel.h"

#include "sessions/DeploySession.h"
#include "sessions/RepairSession.h"

namespace nerim {

// ---- Repair ---------------------------------------------------------------------------------------

RepairSessionState &ProjectCanvasViewModel::repairState() const
{
    return m_repair->state();
}
bool ProjectCanvasViewModel::canBeginRepair() const
{
    return m_repair->canBegin();
}
std::optional<RepairContext> ProjectCanvasViewModel::makeRepairContext() const
{
    return m_repair->makeContext();
}
RepairBannerCoordinator ProjectCanvasViewModel::repairBannerCoordinator()
{
    return m_repair->bannerCoordinator();
}
AgentPaneState *ProjectCanvasViewModel::repairPane() const
{
    return m_repair->pane();
}
QCoro::Task<> ProjectCanvasViewModel::beginRepair()
{
    return m_repair->begin();
}
QCoro::Task<> ProjectCanvasViewModel::cancelRepair()
{
    return m_repair->cancel();
}
QCoro::Task<> ProjectCanvasViewModel::retryRepairFromScratch()
{
    return m_repair->retryFromScratch();
}
QCoro::Task<> ProjectCanvasViewModel::submitRepairSecret(QString name, QString value)
{
    return m_repair->submitSecret(std::move(name), std::move(value));
}

// ---- Deploy ---------------------------------------------------------------------------------------

DeploySessionState &ProjectCanvasViewModel::deployState() const
{
    return m_deploy->state();
}
void ProjectCanvasViewModel::saveDeployConfig(std::function<void(DeployConfig &)> change)
{
    m_deploy->saveConfig(std::move(change));
}
QCoro::Task<DeployContext> ProjectCanvasViewModel::makeDeployContext(QList<DeployProvider> providers,
                                                                    DeployKind kind) const
{
    return m_deploy->makeContext(std::move(providers), kind);
}
AgentPaneState *ProjectCanvasViewModel::deployPane() const
{
    return m_deploy->pane();
}
QCoro::Task<> ProjectCanvasViewModel::beginDeploy(QList<DeployProvider> providers, DeployKind kind)
{
    return m_deploy->begin(std::move(providers), kind);
}
QCoro::Task<> ProjectCanvasViewModel::retryDeploy()
{
    return m_deploy->retry();
}
QCoro::Task<> ProjectCanvasViewModel::cancelDeploy()
{
    return m_deploy->cancel();
}
QCoro::Task<> ProjectCanvasViewModel::submitDeployToken(QString name, QString value)
{
    return m_deploy->submitToken(std::move(name), std::move(value));
}
QCoro::Task<> ProjectCanvasViewModel::submitDeploySecret(QString name, QString value)
{
    return m_deploy->submitSecret(std::move(name), std::move(value));
}
QCoro::Task<> ProjectCanvasViewModel::applyEnvVarChecklist(QMap<QString, QString> decisions)
{
    return m_deploy->applyEnvVarChecklist(std::move(decisions));
}
QCoro::Task<> ProjectCanvasViewModel::beginCustomDomain(QString domain)
{
    return m_deploy->beginCustomDomain(std::move(domain));
}
bool ProjectCanvasViewModel::deployChecklistFromLive() const
{
    return m_deploy->checklistFromLive();
}
bool ProjectCanvasViewModel::systemPaneTakesPrompts(const AgentPaneState *pane) const
{
    return m_repair->isFollowUpTarget(pane) || m_deploy->isFollowUpTarget(pane);
}
bool ProjectCanvasViewModel::openEnvVarChecklist()
{
    return m_deploy->openEnvVarChecklist();
}
bool ProjectCanvasViewModel::openCustomDomainInput()
{
    return m_deploy->openCustomDomainInput();
}
void ProjectCanvasViewModel::unpinDeploy()
{
    m_deploy->unpin();
}
QCoro::Task<> ProjectCanvasViewModel::closeDomainCard()
{
    return m_deploy->closeDomainCard();
}
QCoro::Task<> ProjectCanvasViewModel::beginRollback(DeployHistoryEntry entry)
{
    return m_deploy->beginRollback(std::move(entry));
}
QCoro::Task<> ProjectCanvasViewModel::beginGitConnect(bool enable)
{
    return m_deploy->beginGitConnect(enable);
}
std::optional<QString> ProjectCanvasViewModel::deployRetryStepTitle() const
{
    return m_deploy->retryStepTitle();
}

QStringList ProjectCanvasViewModel::deployTokenNames() const
{
    return m_deploy->tokenNames();
}
bool ProjectCanvasViewModel::isAllowedDeployVariableName(const QString &name)
{
    return DeploySession::isAllowedVariableName(name);
}

} // namespace nerim
