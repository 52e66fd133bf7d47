// The deploy session's agent runs: a follow-up started now or once the
// running one exits, each run given the values meant for it, its provider's
// token, its list of allowed commands and the providers' tools on its PATH;
// and each stdout line of a run, a marker acted on in stream order.
#include "sessions/DeploySession.h"

#include "deploy/DeployAllowedCommands.h"
#include "deploy/DeployRunArguments.h"
#include "deploy/DeployToolInstaller.h"
#include "sessions/PaneRuns.h"

#include <QDir>
#include <QProcessEnvironment>

namespace nerim {

using Kind = DeploySessionState::Phase::Kind;

namespace {

const QString couldNotStartText = QStringLiteral("The Deploy agent couldn't start.");
const QString exitedSilentText = QStringLiteral("The Deploy agent finished without saying what happened.");

} // namespace

// ---- Agent runs -----------------------------------------------------------------------------------

void DeploySession::sendFollowUp(const QString &text, RunFor why)
{
    if (why != RunFor::user && !countRun())
        return;
    const bool typedByUser = why == RunFor::user;
    // An answer takes over from the run that asked: whatever that run prints
    // while it finishes is shown, but acts on nothing.
    m_runs.startWhenFree(
        [this, text, typedByUser] {
            QCoro::Task<> starting = startRun(text, false, typedByUser);
            Q_UNUSED(starting);
        },
        why == RunFor::answer);
    updateRunGoing();
}

QCoro::Task<> DeploySession::startRun(QString task, bool firstRun, bool typedByUser)
{
    AgentPaneState *pane = this->pane();
    if (!pane || !m_state->phase().isActive()) {
        updateRunGoing();
        co_return;
    }
    SystemAgentRuns::Run run;
    run.role = AgentRole::deploy;
    run.task = task;
    run.shownPrompt = firstRun ? shownBriefing : task;
    if (!firstRun)
        run.priorTurns = m_runs.turnsSoFar(pane);
    if (typedByUser)
        pane->appendLine(OutputLine::Kind::userPrompt, task);
    // The values meant for this run go with it, and only with it; of the
    // tokens, only the one of the provider this run works for.
    m_runValues = m_nextRunValues;
    m_nextRunValues.clear();
    const QHash<QString, QString> token = m_tokens.environmentFor(runProvider());
    for (auto it = token.begin(); it != token.end(); ++it)
        run.extras.environment.insert(it.key(), it.value());
    for (auto it = m_runValues.begin(); it != m_runValues.end(); ++it)
        run.extras.environment.insert(it.key(), it.value());
    run.extras.pathEntries = {DeployToolInstaller::binFolder(toolsFolder())};
    const std::optional<DeployContext> &context = m_state->context();
    // The rules that name a variable, a domain or a deployment are built for
    // this run from what Nerim itself holds: the values it put into the
    // environment, the project's .env names, the domain the user typed and the
    // deployment the user chose to return to.
    DeployRuns::RunScope scope(context ? context->providersInOrder : redeployProviders());
    scope.valueNames = m_runValues.keys();
    if (context)
        scope.variableNames = context->envVarNames;
    scope.variableNames += m_runValues.keys();
    if (m_operation && m_operation->kind() == Kind::runningOperation) {
        const ProviderTask &operation = m_operation->task();
        if (operation.kind == ProviderTask::Kind::rollback)
            scope.deploymentID = operation.targetDeploymentID;
        scope.variableNames += operation.decisions.keys();
    }
    if (m_domainFlow)
        scope.domain = m_domainFlow->domain();
    run.extras.arguments = DeployRuns::runArguments(scope);
    // The run's Supabase tool is Nerim's fence around the real one, written
    // before the run starts; when it cannot be written the run does not start.
    if (scope.providers.contains(DeployProvider::supabase)) {
        const QString fence = QDir(toolsFolder()).filePath(QStringLiteral("fence"));
        const QStringList search =
            run.extras.pathEntries +
            QProcessEnvironment::systemEnvironment().value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
        run.extras.pathEntries.prepend(fence);
        run.extras.prepare = [fence, search] { DeployRuns::writeSupabaseFence(fence, search); };
    }
    if (firstRun) {
        run.running = [this] {
            if (m_state->phase().kind() != Kind::preparing)
                return;
            const QList<DeployProvider> providers =
                m_state->context() ? m_state->context()->providersInOrder : QList<DeployProvider>{};
            if (!providers.isEmpty())
                m_state->setPhase(Phase::authenticating(providers.first()));
        };
    }

    QCoro::Task<std::optional<SystemAgentRuns::StartFailure>> starting = m_runs.start(pane, run);
    updateRunGoing();
    QPointer<DeploySession> self(this);
    const std::optional<SystemAgentRuns::StartFailure> failure = co_await std::move(starting);
    if (!self)
        co_return;
    updateRunGoing();
    if (!failure)
        co_return;
    logDeploy(QStringLiteral("provider.spawn failed: %1").arg(failure->description));
    if (failure->pane)
        m_runs.showStartFailure(failure->pane, failure->description);
    if (m_state->phase().isActive())
        finalize(Phase::stuck(couldNotStartText), QStringLiteral("spawn-failed"));
}

void DeploySession::handleNotStarted(AgentPaneState *pane, NotStarted why)
{
    if (!pane)
        return;
    if (why == NotStarted::spawnFailed)
        removeTurnInFlight(pane);
    else if (why == NotStarted::abandonedAtSpawn)
        SystemAgentRuns::tidyAbandoned(pane);
}

// ---- The agent's output -----------------------------------------------------------------------

void DeploySession::handleStdoutLine(const QString &line, AgentPaneState *pane)
{
    // A marker is acted on here, in stream order, and kept out of the
    // transcript; the turn keeps it, so later runs know what it reported
    // (the backend's address, the deployment, the live address).
    if (const std::optional<DeployMarkers::Signal> signal = DeployMarkers::parse(line)) {
        pane->appendStdoutToTurn(line);
        handleSignal(*signal, pane);
        return;
    }
    pane->appendCurrentStdout(line);
    pane->appendLine(OutputLine::Kind::stdout, line);
    pane->appendStdoutToTurn(line);
}

void DeploySession::handleRunEnded(AgentPaneState *, bool inSessionPane)
{
    updateRunGoing();
    // The run of an earlier pane: nothing that waited goes on.
    if (!inSessionPane) {
        m_runs.dropWaiting();
        return;
    }
    // Stopped to wait for the user: expected. Anything else ends the session,
    // since no further output can come.
    if (!isWaitingForUser())
        finalize(Phase::stuck(exitedSilentText), QStringLiteral("agent-exited-silent"));
}

} // namespace nerim
