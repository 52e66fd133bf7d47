// A headless stand-in for the project canvas: it drives one pane through the
// calling order the canvas uses for a prompt (statuses, the user-prompt line,
// the turn, spawn, output handling, the exit line, closing the turn, saving the
// panes) against the stand-in `claude`, then checks what a user would find.
#include "ProviderTestSupport.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "agents/AgentError.h"
#include "agents/AgentPaneState.h"
#include "agents/SavedPanes.h"
#include "agents/ClaudeCodeProvider.h"
#include "agents/ModelPreferenceState.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesSnapshotStore.h"
#include "panes-store/PanesLoadResult.h"
#include "foundation/SerialFileWriter.h"
#include "foundation/Text.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"

#include <QPointer>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

class MiniCanvas : public QObject {
public:
    explicit MiniCanvas(const QString &projectPath, const QString &dataFolder = QString())
        : provider(projectPath, standinOptions()),
          store((dataFolder.isEmpty() ? IntentProcessorConstants::projectDotfolder(projectPath) : dataFolder) +
                QStringLiteral("/panes.json"))
    {
    }

    AgentPaneState *spawnPane(AgentRole role, const QString &responsibility)
    {
        const int number = static_cast<int>(nextAgentNumber++);
        auto *pane = new AgentPaneState(newUuid(), uuidText(newUuid()), QStringLiteral("Claude %1").arg(number), number,
                                        false, role, text::characterPrefix(responsibility, 24), this);
        pane->appendLine(OutputLine::Kind::system, QStringLiteral("[Ready \u2014 type a task or hold the mic]"));
        panes.append(pane);
        focusedPaneId = pane->id();
        savePanes();
        return pane;
    }

    QCoro::Task<> sendToPane(AgentPaneState *pane, QString prompt)
    {
        if (isBusy(pane->status()))
            co_return;
        QPointer<AgentPaneState> guard(pane);
        pane->setCurrentStdout({});
        pane->setStatus(AgentStatus::spawning);
        pane->appendLine(OutputLine::Kind::userPrompt, prompt);
        const QList<ConversationTurn> prior = pane->completedTurns();
        pane->beginTurn(prompt);
        try {
            const AgentSession session = co_await provider.spawn(pane->role(), {}, prior, prompt, ProjectAwareness{},
                                                                 model.choice());
            if (!guard)
                co_return;
            pane->setCurrentSession(session);
            pane->setStatus(AgentStatus::working);
            const auto stream = co_await provider.outputStream(session.id);
            if (!guard)
                co_return;
            pane->setStreamConsumer(AgentStreamConsumer::start(
                stream, [this, guard](const AgentOutput &event) {
                    if (guard)
                        handleAgentOutput(guard, event);
                }));
        } catch (const AgentError &error) {
            if (!guard)
                co_return;
            pane->appendLine(OutputLine::Kind::stderr, QStringLiteral("Failed to spawn agent: ") + error.description());
            pane->setStatus(AgentStatus::error);
            pane->setCurrentSession(std::nullopt);
            QList<ConversationTurn> turns = pane->conversation();
            if (!turns.isEmpty() && turns.last().isInFlight()) {
                turns.removeLast();
                pane->setConversation(turns);
            }
        }
    }

    void handleAgentOutput(AgentPaneState *pane, const AgentOutput &event)
    {
        switch (event.kind()) {
        case AgentOutput::Kind::stdoutLine: {
            const QString &line = event.text();
            pane->appendCurrentStdout(line);
            const QString trimmed = line.trimmed();
            const qsizetype marker = trimmed.indexOf(taskCompleteMarker);
            if (marker >= 0)
                pane->appendLine(OutputLine::Kind::taskComplete, trimmed.mid(marker + taskCompleteMarker.size()).trimmed());
            else
                pane->appendLine(OutputLine::Kind::stdout, line);
            pane->appendStdoutToTurn(line);
            break;
        }
        case AgentOutput::Kind::stderrLine:
            pane->appendLine(OutputLine::Kind::stderr, event.text());
            break;
        case AgentOutput::Kind::processExited: {
            const qint32 code = event.exitCode();
            pane->appendLine(code == 0 ? OutputLine::Kind::system : OutputLine::Kind::stderr,
                             QStringLiteral("[%1 exited \u00b7 code %2]").arg(pane->agentName()).arg(code));
            pane->closeTurn(pane->taskCompleteSummary(code));
            pane->markExited(code);
            savePanes();
            break;
        }
        case AgentOutput::Kind::completion:
        case AgentOutput::Kind::hangSignal:
        case AgentOutput::Kind::statusLine:
            break;
        }
    }

    PanesSnapshot makePanesSnapshot() const
    {
        PanesSnapshot snapshot;
        snapshot.nextAgentNumber = nextAgentNumber;
        snapshot.focusedPaneId = focusedPaneId;
        for (const AgentPaneState *pane : panes)
            snapshot.panes.append(snapshotOfPane(*pane));
        return snapshot;
    }

    void savePanes() { store.save(makePanesSnapshot()); }

    void restorePanes()
    {
        const auto snapshot = store.load();
        if (!snapshot)
            return;
        nextAgentNumber = snapshot->nextAgentNumber;
        for (const PaneDiskSnapshot &saved : snapshot->panes)
            panes.append(restorePane(saved, this));
        focusedPaneId = panes.isEmpty() ? std::optional<QUuid>() : std::optional<QUuid>(panes.last()->id());
        for (const AgentPaneState *pane : panes)
            if (snapshot->focusedPaneId == pane->id())
                focusedPaneId = pane->id();
    }

    ClaudeCodeProvider provider;
    PanesSnapshotStore store;
    ModelPreferenceState model;
    QList<AgentPaneState *> panes;
    qint64 nextAgentNumber = 1;
    std::optional<QUuid> focusedPaneId;
};

// Runs the event loop until the pane's run has been consumed to its end.
void waitUntilSettled(AgentPaneState *pane)
{
    test::await([](QPointer<AgentPaneState> p) -> QCoro::Task<> {
        for (int i = 0; i < 500 && p && (isBusy(p->status()) || p->currentSession()); ++i)
            co_await sleepFor(10);
    }(pane));
}

QList<OutputLine::Kind> kinds(const QList<OutputLine> &lines)
{
    QList<OutputLine::Kind> out;
    for (const OutputLine &line : lines)
        out.append(line.kind);
    return out;
}

} // namespace

TEST(MiniCanvas, OnePromptRunsThroughPaneTranscriptTurnAndPanesFile)
{
    const QString project = makeTempDir(QStringLiteral("site"));
    const QString stdinFile = makeTempDir() + QStringLiteral("/stdin");
    qputenv("CLAUDE_STANDIN_RECORD_STDIN", stdinFile.toUtf8());
    qputenv("CLAUDE_STANDIN_APPEND", "0");
    // The pause sends the first message before the warning: the two come
    // through separate pipes, so only a gap between them fixes their order.
    claudeStandin::setCommands(QStringLiteral("out Reading the project\nsleep 50\nerr warning: slow disk\nsleep 50\n"
                                              "out Wrote index.html\nout   TASK_COMPLETE:  Added a landing page.  \n"
                                              "exit 0"));

    MiniCanvas canvas(project);
    AgentPaneState *pane = canvas.spawnPane(AgentRole::designer, QStringLiteral("Landing page and its hero image"));
    EXPECT_EQ(pane->responsibility(), QStringLiteral("Landing page and its her"));
    QList<AgentStatus> statuses;
    QObject::connect(pane, &AgentPaneState::statusChanged, [&] { statuses.append(pane->status()); });

    test::await(canvas.sendToPane(pane, QStringLiteral("make a landing page")));
    waitUntilSettled(pane);

    EXPECT_EQ(statuses, (QList<AgentStatus>{AgentStatus::spawning, AgentStatus::working, AgentStatus::done}));
    EXPECT_FALSE(pane->currentSession());
    EXPECT_EQ(kinds(pane->outputLines()),
              (QList<OutputLine::Kind>{OutputLine::Kind::system, OutputLine::Kind::userPrompt, OutputLine::Kind::stdout,
                                       OutputLine::Kind::stderr, OutputLine::Kind::stdout,
                                       OutputLine::Kind::taskComplete, OutputLine::Kind::system}));
    EXPECT_EQ(pane->outputLines().at(5).text, QStringLiteral("Added a landing page."));
    EXPECT_EQ(pane->outputLines().last().text, QStringLiteral("[Claude 1 exited \u00b7 code 0]"));

    ASSERT_EQ(pane->conversation().size(), 1);
    const ConversationTurn turn = pane->conversation().first();
    EXPECT_EQ(turn.userPrompt, QStringLiteral("make a landing page"));
    EXPECT_EQ(turn.agentResponse,
              QStringLiteral("Reading the project\nWrote index.html\n  TASK_COMPLETE:  Added a landing page.  "));
    EXPECT_EQ(turn.taskCompleteSummary, QStringLiteral("Added a landing page."));
    EXPECT_TRUE(turn.endedAt.has_value());

    SerialFileWriter::shared().flush();
    const auto saved = loadPanesSnapshot(project + QStringLiteral("/.nerim/panes.json"));
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->panes.size(), 1);
    EXPECT_EQ(saved->nextAgentNumber, 2);
    EXPECT_EQ(saved->focusedPaneId, pane->id());
    EXPECT_EQ(saved->panes.first().outputLines, pane->outputLines());
    EXPECT_EQ(saved->panes.first().conversation, pane->conversation());
    EXPECT_EQ(saved->panes.first().role, AgentRole::designer);

    // The next prompt in the same pane carries the first exchange.
    claudeStandin::setCommands(QStringLiteral("out ok\nout TASK_COMPLETE: Tweaked it."));
    test::await(canvas.sendToPane(pane, QStringLiteral("make it darker")));
    waitUntilSettled(pane);
    const QString secondPrompt = QString::fromUtf8(readFile(stdinFile));
    EXPECT_TRUE(secondPrompt.contains(
        QStringLiteral("Turn 1\n  User: make a landing page\n  You: Added a landing page.\n[END PRIOR CONVERSATION]")));
    EXPECT_EQ(pane->completedTurns().size(), 2);

    // Reopening the project restores the pane as it was, idle.
    SerialFileWriter::shared().flush();
    MiniCanvas reopened(project);
    reopened.restorePanes();
    ASSERT_EQ(reopened.panes.size(), 1);
    EXPECT_EQ(reopened.panes.first()->status(), AgentStatus::idle);
    EXPECT_EQ(reopened.panes.first()->outputLines(), pane->outputLines());
    EXPECT_EQ(reopened.panes.first()->conversation(), pane->conversation());
    EXPECT_EQ(reopened.nextAgentNumber, 2);
    EXPECT_EQ(reopened.focusedPaneId, pane->id());
}

TEST(MiniCanvas, AnAgentThatFailsAtOnceLeavesThePaneInErrorNotWorking)
{
    const QString project = makeTempDir(QStringLiteral("app"));
    claudeStandin::setCommands(QStringLiteral("err Error: model not available\nexit 1"));
    MiniCanvas canvas(project);
    AgentPaneState *pane = canvas.spawnPane(AgentRole::unspecified, QString());
    test::await(canvas.sendToPane(pane, QStringLiteral("hello")));
    waitUntilSettled(pane);

    EXPECT_EQ(pane->status(), AgentStatus::error);
    EXPECT_EQ(pane->outputLines().at(pane->outputLines().size() - 2).text, QStringLiteral("Error: model not available"));
    EXPECT_EQ(pane->outputLines().last().kind, OutputLine::Kind::stderr);
    EXPECT_EQ(pane->outputLines().last().text, QStringLiteral("[Claude 1 exited \u00b7 code 1]"));
    ASSERT_EQ(pane->conversation().size(), 1);
    EXPECT_FALSE(pane->conversation().first().taskCompleteSummary);
    EXPECT_FALSE(pane->conversation().first().isInFlight());
}

TEST(MiniCanvas, AFailedSpawnLeavesNoTurnBehind)
{
    const QString project = makeTempDir(QStringLiteral("app"));
    writeFile(project + QStringLiteral("/a-file"), "not a folder");
    MiniCanvas canvas(project + QStringLiteral("/a-file"), makeTempDir(QStringLiteral("data")));
    AgentPaneState pane(newUuid(), QStringLiteral("a"), QStringLiteral("Claude 1"), 1, false, AgentRole::code, QString());
    test::await(canvas.sendToPane(&pane, QStringLiteral("hello")));
    EXPECT_EQ(pane.status(), AgentStatus::error);
    EXPECT_TRUE(pane.conversation().isEmpty());
    EXPECT_TRUE(pane.outputLines().last().text.startsWith(
        QStringLiteral("Failed to spawn agent: workingDirectoryUnavailable(underlying: \"Project path exists but is a file")));
}
