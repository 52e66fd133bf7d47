#pragma once

#include "agents/AgentOutputStream.h"
#include "platform/OutputTurnBudget.h"

#include <QtGlobal>
#include <functional>
#include <memory>

namespace nerim {

// The task that consumes one session's output stream on the GUI thread: it hands
// every event, in order, to a handler until the stream ends or the consumer is
// cancelled. A pane keeps the handle in `AgentPaneState::streamConsumer`; two
// handles are the same consumer only when they are the same object.
class AgentStreamConsumer {
public:
    using EventHandler = std::function<void(const AgentOutput &event)>;
    using EndHandler = std::function<void()>;

    // Starts consuming right away. `onEnd` runs once after the last event of a
    // stream that ended by itself; it does not run after `cancel()`.
    static std::shared_ptr<AgentStreamConsumer> start(std::shared_ptr<AgentOutputStream> stream,
                                                      EventHandler onEvent, EndHandler onEnd = {});

    // Most GUI-thread time streamed output takes in one turn of the event
    // loop, shared by every consumer and by the reading of child output (see
    // platform::OutputTurnBudget). A consumer always hands out at least one
    // event when it is resumed; the event that crosses the budget still
    // completes.
    static constexpr qint64 turnBudgetNs = platform::OutputTurnBudget::budgetNs;

    // Stops handing out events: no handler runs after this returns.
    void cancel();

    bool isCancelled() const { return m_cancelled; }
    // The stream ended (or the consumer was cancelled) and the loop has left.
    bool isFinished() const { return m_finished; }

private:
    AgentStreamConsumer() = default;

    std::shared_ptr<AgentOutputStream> m_stream;
    EventHandler m_onEvent;
    EndHandler m_onEnd;
    bool m_cancelled = false;
    bool m_finished = false;
};

} // namespace nerim
