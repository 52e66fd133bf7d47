#pragma once

// A canvas over a temporary project with a fake agent provider, recorded sound,
// narration and taps, a scriptable router and short timers.

#include "TestAsync.h"
#include "TestEnvironment.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/ProjectContextActor.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"
#include "support/voice-fakes/VoiceFakes.h"

#include <QCoro/QCoroTimer>
#include <QPointer>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

// Readable failure messages.
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }

namespace nerim {
inline void PrintTo(AgentStatus status, std::ostream *os)
{
    static const char *names[] = {"idle", "spawning", "working", "hung", "done", "error", "stopped"};
    *os << names[static_cast<int>(status)];
}
inline void PrintTo(OutputLine::Kind kind, std::ostream *os) { *os << rawValue(kind).toStdString(); }
} // namespace nerim

namespace nerim::test {

inline QCoro::Task<> sleepMs(int ms)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(ms);
    co_await timer;
}

// Runs the event loop until `condition` holds or the time is up; returns whether it held.
template <typename F>
bool waitUntil(F condition, int timeoutMs = 10000)
{
    for (int waited = 0; !condition(); waited += 5) {
        if (waited >= timeoutMs)
            return false;
        await(sleepMs(5));
    }
    return true;
}

// Lets queued work (consumers, posted wakes) run for a few turns.
inline void spinEventLoop(int turns = 10)
{
    for (int i = 0; i < turns; ++i)
        await(sleepMs(1));
}

inline QList<OutputLine::Kind> lineKinds(const AgentPaneState *pane)
{
    QList<OutputLine::Kind> kinds;
    for (const OutputLine &line : pane->outputLines())
        kinds.append(line.kind);
    return kinds;
}

inline QStringList lineTexts(const AgentPaneState *pane)
{
    QStringList texts;
    for (const OutputLine &line : pane->outputLines())
        texts.append(line.text);
    return texts;
}

// The kinds of the activity-log entries ("projectOpened", "agentSpawned"...).
inline QStringList entryKinds(const QList<ContextEntry> &entries)
{
    QStringList kinds;
    for (const ContextEntry &entry : entries)
        kinds.append(ContextEntry::kindString(entry.payload()));
    return kinds;
}

inline QList<ContextEntry> logEntries(ProjectContextActor &actor)
{
    return await(actor.log()).entries;
}

// The routed-prompt decision the canvas asks for with two or more panes; by
// default "one target". Can hold its answer until released.
struct ScriptedRouter {
    IntentProcessorService::RouteResult result = IntentProcessorService::RouteResult::single();
    bool hold = false;
    int calls = 0;
    QString lastUtterance;

    CanvasServices::Router function()
    {
        return [this](QString utterance, QList<IntentProcessorService::PaneDescriptor>)
                   -> QCoro::Task<IntentProcessorService::RouteResult> {
            ++calls;
            lastUtterance = utterance;
            while (hold) {
                QCoro::Task<> waiting = sleepMs(2);
                co_await std::move(waiting);
            }
            co_return result;
        };
    }
};

class CanvasTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        project = makeTempDir(QStringLiteral("project"));
        provider = std::make_shared<FakeAgentProvider>();
    }

    void TearDown() override
    {
        if (canvas && !canvas->isTornDown())
            await(canvas->teardown());
        canvas.reset();
        SerialFileWriter::shared().flush();
    }

    CanvasServices services()
    {
        CanvasServices s;
        s.soundCues = &feedback.soundService;
        s.narrator = &feedback.narrator;
        s.haptics = &feedback.haptics;
        s.activity = &feedback.activity;
        s.router = router.function();
        s.justSubmittedDuration = std::chrono::milliseconds(30);
        s.draftSaveDelay = std::chrono::milliseconds(30);
        return s;
    }

    // A bootstrapped canvas over the project, with the fake provider.
    ProjectCanvasViewModel &open()
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project,
                                                          QStringLiteral("Project"), provider, nullptr, services());
        await(canvas->bootstrap());
        return *canvas;
    }

    // A bootstrapped canvas with `s` and one pane whose agent is at work on
    // "print": its session, for the lines the test makes it print.
    QUuid openWithPrintingPane(const CanvasServices &s)
    {
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project,
                                                          QStringLiteral("Project"), provider, nullptr, s);
        await(canvas->bootstrap());
        provider->enqueue(FakeAgentProvider::running());
        canvas->spawnAgents(1);
        await(canvas->sendToPane(canvas->panes().first(), QStringLiteral("print"), ContextEntry::PromptSource::text));
        return provider->sessionIds().first();
    }

    // Closes the current canvas in order and opens a new one on the same folder.
    ProjectCanvasViewModel &reopen()
    {
        await(canvas->teardown());
        SerialFileWriter::shared().flush();
        canvas.reset();
        return open();
    }

    // Types and submits a prompt, as the prompt bar does.
    void submit(const QString &text, ContextEntry::PromptSource source = ContextEntry::PromptSource::text)
    {
        canvas->setInputPrompt(text);
        await(canvas->submitPrompt(source));
    }

    // Waits until the pane's run has been consumed to its end.
    bool settle(AgentPaneState *pane)
    {
        QPointer<AgentPaneState> guard(pane);
        return waitUntil([&] { return !guard || (!isBusy(guard->status()) && !guard->streamConsumer()); });
    }

    QList<ContextEntry> entries() { return logEntries(*canvas->contextActor()); }

    QString project;
    std::shared_ptr<FakeAgentProvider> provider;
    RecordedFeedback feedback;
    ScriptedRouter router;
    std::unique_ptr<ProjectCanvasViewModel> canvas;
};

} // namespace nerim::test
