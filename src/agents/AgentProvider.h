#pragma once

#include "agents/AgentOutputStream.h"
#include "panes-store/AgentRole.h"
#include "agents/AgentSession.h"
#include "panes-store/ConversationTurn.h"
#include "agents/ProjectAwareness.h"
#include "persistence/ContextEntry.h"
#include "persistence/ModelChoice.h"

#include <QCoro/QCoroTask>
#include <QHash>
#include <QList>
#include <QStringList>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>

namespace nerim {

// What one run adds to the agent's process: variables laid over its
// environment last, folders put first on its PATH, and arguments appended to
// the agent program's own. Nerim's system agents use them (the Deploy agent's
// tokens and tool folder); the values never reach the prompt. `prepare`, when
// set, runs on a worker thread before the program starts (files the run's
// PATH leads to); whatever it throws fails the start.
struct SpawnExtras {
    QHash<QString, QString> environment;
    QStringList pathEntries;
    QStringList arguments;
    std::function<void()> prepare = nullptr;
};

// The interface through which the canvas holds its agent provider. All four
// operations are awaited from the GUI thread.
class AgentProvider {
public:
    virtual ~AgentProvider() = default;

    // Starts one agent for a prompt and returns once its process runs. Throws AgentError.
    virtual QCoro::Task<AgentSession> spawn(AgentRole role, QList<ContextEntry> recentEntries,
                                            QList<ConversationTurn> priorTurns, QString task,
                                            ProjectAwareness awareness, ModelChoice model,
                                            SpawnExtras extras = {}) = 0;

    // Hands a follow-up text to a running session. Throws AgentError.
    virtual QCoro::Task<> send(QUuid sessionId, QString text) = 0;

    // The session's event stream; an already finished, empty stream for an id
    // that has no session.
    virtual QCoro::Task<std::shared_ptr<AgentOutputStream>> outputStream(QUuid sessionId) = 0;

    // Stops the session's process if it runs; unknown ids are ignored.
    virtual QCoro::Task<> terminate(QUuid sessionId) = 0;
};

} // namespace nerim
