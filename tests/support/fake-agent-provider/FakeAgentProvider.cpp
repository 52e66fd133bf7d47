#include "support/fake-agent-provider/FakeAgentProvider.h"

#include "agents/ClaudeCodeProvider.h"
#include "foundation/UuidText.h"

#include <QCoro/QCoroTimer>
#include <QTimer>

namespace nerim::test {

namespace {
QCoro::Task<> pause(int ms)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(ms);
    co_await timer;
}
} // namespace

QCoro::Task<AgentSession> FakeAgentProvider::spawn(AgentRole role, QList<ContextEntry> recentEntries,
                                                   QList<ConversationTurn> priorTurns, QString task,
                                                   ProjectAwareness awareness, ModelChoice model,
                                                   SpawnExtras extras)
{
    m_spawnCalls.append({role, recentEntries, priorTurns, task, awareness, model, std::move(extras)});
    Script script = m_scripts.isEmpty() ? Script{} : m_scripts.dequeue();
    if (script.holdSpawn) {
        ++m_held;
        const int release = m_releases;
        while (m_releases == release) {
            QCoro::Task<> waiting = pause(2);
            co_await std::move(waiting);
        }
        --m_held;
    }
    if (script.failure)
        throw *script.failure;

    AgentSession session;
    session.id = newUuid();
    session.role = role;
    session.provider = AgentProviderType::claudeCode;
    session.spawnedAt = Timestamp::now();
    session.processID = m_nextPid++;
    session.openingPromptDigest = promptDigest(task);

    Session state;
    state.stream = AgentOutputStream::create();
    state.running = true;
    state.terminatedExitCode = script.terminatedExitCode;
    state.terminatedExitDelayMs = script.terminatedExitDelayMs;
    state.terminateWaitsForExit = script.terminateWaitsForExit;
    m_sessions.insert(session.id, state);
    m_order.append(session.id);
    for (const AgentOutput &event : script.events)
        state.stream->yield(event);
    if (script.exitCode)
        finish(session.id, *script.exitCode);
    co_return session;
}

QCoro::Task<> FakeAgentProvider::send(QUuid, QString)
{
    throw AgentError::sessionNotAlive();
    co_return;
}

QCoro::Task<std::shared_ptr<AgentOutputStream>> FakeAgentProvider::outputStream(QUuid sessionId)
{
    const auto it = m_sessions.constFind(sessionId);
    co_return it == m_sessions.constEnd() ? AgentOutputStream::finishedStream() : it->stream;
}

QCoro::Task<> FakeAgentProvider::terminate(QUuid sessionId)
{
    m_terminated.append(sessionId);
    const auto it = m_sessions.constFind(sessionId);
    if (it == m_sessions.constEnd() || !it->running)
        co_return;
    // The stopped process still reports its exit on its stream, as a real one does.
    const qint32 code = it->terminatedExitCode;
    if (it->terminatedExitDelayMs > 0) {
        const int delay = it->terminatedExitDelayMs;
        QTimer::singleShot(delay, &m_timerContext, [this, sessionId, code] { finish(sessionId, code); });
    } else {
        const bool waits = it->terminateWaitsForExit;
        finish(sessionId, code);
        if (waits) {
            QCoro::Task<> waiting = pause(20);
            co_await std::move(waiting);
        }
    }
}

void FakeAgentProvider::yieldEvent(const QUuid &sessionId, const AgentOutput &event)
{
    const auto it = m_sessions.constFind(sessionId);
    if (it != m_sessions.constEnd() && it->running)
        it->stream->yield(event);
}

void FakeAgentProvider::finish(const QUuid &sessionId, qint32 exitCode)
{
    auto it = m_sessions.find(sessionId);
    if (it == m_sessions.end() || !it->running)
        return;
    it->running = false;
    it->stream->yield(AgentOutput::processExited(exitCode));
    it->stream->finish();
}

} // namespace nerim::test
