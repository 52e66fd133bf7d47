// The operations on the live deploy (a rollback, connecting or disconnecting
// git, an env-var update): each a step of its own, written down, briefed with
// the change to make and the marker that ends it, and run in the Deploy pane
// (after a deploy there, as that conversation's next run).
#include "sessions/DeploySession.h"

#include "deploy/DeployPrompt.h"

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

// ---- Operations on the live deploy ---------------------------------------------------------------

QCoro::Task<> DeploySession::beginRollback(DeployHistoryEntry entry)
{
    if (m_state->phase().isActive()) {
        logDeploy(QStringLiteral("beginRollback while phase active \u2014 ignoring"));
        co_return;
    }
    // The id goes into the agent's prompt: a planted history line's crafted id is as good as none.
    if (entry.deploymentID && !isPlainDeploymentID(*entry.deploymentID)) {
        logDeploy(QStringLiteral("beginRollback: the deployment id is not a plain id"));
        entry.deploymentID.reset();
    }
    if (!entry.deploymentID || entry.deploymentID->isEmpty()) {
        // Refused as a rollback (so named in the pane and the history); a live deploy stays live.
        m_returnTo = livePhaseNow();
        m_operation = Phase::runningOperation(ProviderTask::rollback(QString(), entry.timestamp),
                                              DeployProvider::vercel,
                                              liveSnapshot().value_or(Snapshot{QString(), std::nullopt}));
        finalize(Phase::stuck(QStringLiteral("Nerim didn't record a deployment ID for that deploy. Try Redeploy "
                                             "instead.")),
                 QStringLiteral("no-deployment-id"));
        co_return;
    }
    QList<DeployProvider> providers;
    for (const QString &raw : entry.providers)
        if (const std::optional<DeployProvider> p = DeployProvider::fromRaw(raw))
            providers.append(*p);
    const DeployProvider provider = firstHosting(providers).value_or(
        providers.isEmpty() ? DeployProvider(DeployProvider::vercel) : providers.first());
    const Snapshot snapshot = liveSnapshot().value_or(Snapshot{entry.frontendURL.value_or(QString()), std::nullopt});
    QCoro::Task<> operating =
        beginOperation(ProviderTask::rollback(*entry.deploymentID, entry.timestamp), provider, snapshot);
    co_await std::move(operating);
}

QCoro::Task<> DeploySession::beginGitConnect(bool enable)
{
    if (m_state->phase().isActive()) {
        logDeploy(QStringLiteral("beginGitConnect while phase active \u2014 ignoring"));
        co_return;
    }
    // The live deploy on screen wins over deploy-config.json, whose save after
    // going live may still be on its way.
    const std::optional<Snapshot> snapshot = liveSnapshot();
    std::optional<DeployProvider> hosting;
    if (const std::optional<DeployContext> context = m_state->context())
        hosting = firstHosting(context->providersInOrder);
    if (!hosting) {
        if (m_config)
            hosting = firstHosting(m_config->providers);
    }
    if (!snapshot || !hosting) {
        finalize(Phase::stuck(QStringLiteral("Nerim doesn't have a live deploy to wire to git yet.")),
                 QStringLiteral("no-live-deploy"));
        co_return;
    }
    QCoro::Task<> operating = beginOperation(ProviderTask::gitConnect(enable), *hosting, *snapshot);
    co_await std::move(operating);
}

QCoro::Task<> DeploySession::beginOperation(ProviderTask task, DeployProvider provider, Snapshot snapshot)
{
    writeLiveEntryAwaitingID();
    // The live deploy a cancel returns to: the one on screen, else the one
    // the Live menu's card was opened from, else the saved one.
    const Phase before = m_state->phase();
    const std::optional<Phase> back = before.kind() == Kind::live || before.kind() == Kind::customDomainVerified
                                          ? std::optional<Phase>(before)
                                      : m_returnTo ? m_returnTo
                                                   : std::optional<Phase>(Phase::live(snapshot.frontendURL,
                                                                                      snapshot.backendURL));
    const std::optional<quint64> serial = m_runs.beginSession();
    if (!serial)
        co_return;
    m_returnTo = back;
    m_pendingDeploymentID.reset();
    m_checklistFromLive.reset();
    m_domainFlow.reset();
    m_operation = Phase::runningOperation(task, provider, snapshot);
    SystemAgentStepRecord step;
    switch (task.kind) {
    case ProviderTask::Kind::rollback:
        step.step = QStringLiteral("rollback");
        step.deploymentID = task.targetDeploymentID;
        step.targetTimestamp = task.targetTimestamp;
        step.frontendURL = snapshot.frontendURL;
        break;
    case ProviderTask::Kind::gitConnect:
        step.step = QStringLiteral("gitConnect");
        step.enable = task.enable;
        break;
    case ProviderTask::Kind::envVarUpdate: step.step = QStringLiteral("envVarUpdate"); break;
    }
    step.providers = providerNames(task.kind == ProviderTask::Kind::rollback ? QList<DeployProvider>{provider}
                                                                              : liveProviders());
    recordStep(step);
    m_state->setPhase(*m_operation);
    AgentPaneState *pane = m_runs.openPane();
    // The operation's own briefing: the change to make and the marker that ends it.
    const QString briefing = buildOperationPrompt(m_host.projectDisplayName(), sessionProviders(), task, provider);
    const bool freshPane =
        pane->completedTurns().isEmpty() && !pane->currentSession() && !isBusy(pane->status());
    if (freshPane) {
        // It opens the pane's conversation, and later runs are given it whole.
        m_runs.setBriefing(briefing);
        if (!countRun())
            co_return;
        QCoro::Task<> starting = startRun(briefing, true);
        co_await std::move(starting);
    } else {
        // After a deploy in this pane it follows that conversation; a run
        // still going there finishes first (what it prints acts on nothing).
        if (pane->currentSession() || isBusy(pane->status()))
            pane->appendLine(OutputLine::Kind::system,
                             QStringLiteral("[The Deploy agent's last run is still finishing; %1 starts once it "
                                            "has.]")
                                 .arg(activityName()));
        sendFollowUp(briefing);
    }
}

} // namespace nerim
