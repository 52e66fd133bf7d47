// Three agents streaming at once from the stand-in `claude` while the user
// keeps submitting and closes one of the panes.
#include "CanvasFixture.h"
#include "agents/ClaudeCodeProvider.h"
#include "support/claude-standin/ClaudeStandin.h"

#include <QDir>
#include <QFile>

using namespace nerim;
using namespace nerim::test;

TEST_F(CanvasTest, ThreeStreamingPanesLoseNothingAndAClosedPaneHearsNothingMore)
{
    constexpr int half = 5000;
    // Each agent waits between its halves until the test lets it go on, so
    // the panes are busy while the user types, however fast they stream.
    const QString goOn = QDir(project).filePath(QStringLiteral("go-on"));
    claudeStandin::setCommands(QStringLiteral("repeat %1 early {n}\nhold %2\nrepeat %1 late {n}\n"
                                              "out TASK_COMPLETE: streamed\nexit 0")
                                   .arg(half)
                                   .arg(goOn));
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("id"), project, QStringLiteral("Stress"),
                                                      std::make_shared<ClaudeCodeProvider>(project, options), nullptr,
                                                      services());
    await(canvas->bootstrap());
    canvas->spawnAgents(3);
    ASSERT_EQ(canvas->panes().size(), 3);
    const QList<AgentPaneState *> panes = canvas->panes();
    for (AgentPaneState *pane : panes) {
        canvas->selectPromptTarget(PromptTarget::pane(pane->id()));
        submit(QStringLiteral("stream for me"));
        ASSERT_EQ(pane->status(), AgentStatus::working);
    }
    ASSERT_TRUE(waitUntil([&] {
        for (AgentPaneState *pane : panes)
            if (pane->currentStdout().size() < 100)
                return false;
        return true;
    }));

    // The user keeps typing while they work: busy panes refuse and keep the prompt.
    canvas->selectPromptTarget(PromptTarget::pane(panes.at(0)->id()));
    submit(QStringLiteral("one more thing"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("one more thing"));
    canvas->selectPromptTarget(PromptTarget::automatic());
    submit(QStringLiteral("claude 3 also this"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("claude 3 also this"));

    // Closing the middle pane mid-stream: nothing reaches it afterwards.
    QPointer<AgentPaneState> closed(panes.at(1));
    QObject scope;
    int linesAfterClose = 0;
    QObject::connect(closed, &AgentPaneState::outputLinesChanged, &scope, [&] { ++linesAfterClose; });
    QObject::connect(closed, &AgentPaneState::conversationChanged, &scope, [&] { ++linesAfterClose; });
    ASSERT_LT(closed->currentStdout().size(), 2 * half);
    await(canvas->closePane(closed->id()));
    const int afterCloseBaseline = linesAfterClose;
    QFile released(goOn);
    ASSERT_TRUE(released.open(QIODevice::WriteOnly));
    released.close();

    AgentPaneState *first = panes.at(0);
    AgentPaneState *third = panes.at(2);
    QPointer<AgentPaneState> firstGuard(first);
    QPointer<AgentPaneState> thirdGuard(third);
    ASSERT_TRUE(waitUntil([&] { return first->status() == AgentStatus::done && third->status() == AgentStatus::done; },
                          120000));
    ASSERT_TRUE(settle(first) && settle(third));
    EXPECT_EQ(linesAfterClose, afterCloseBaseline);

    for (AgentPaneState *pane : {first, third}) {
        QStringList stdoutLines;
        for (const OutputLine &line : pane->outputLines())
            if (line.kind == OutputLine::Kind::stdout)
                stdoutLines.append(line.text);
        ASSERT_EQ(stdoutLines.size(), 2 * half) << pane->agentName().toStdString();
        bool inOrder = true;
        for (int n = 1; n <= half && inOrder; ++n) {
            inOrder = stdoutLines.at(n - 1) == QStringLiteral("early %1").arg(n) &&
                      stdoutLines.at(half + n - 1) == QStringLiteral("late %1").arg(n);
        }
        EXPECT_TRUE(inOrder) << pane->agentName().toStdString();
        EXPECT_EQ(pane->outputLines().last().text, QStringLiteral("[%1 exited \u00b7 code 0]").arg(pane->agentName()));
        EXPECT_EQ(pane->conversation().last().taskCompleteSummary, QStringLiteral("streamed"));
        EXPECT_EQ(pane->conversation().last().agentResponse.count(QLatin1Char('\n')), 2 * half);
    }
    EXPECT_TRUE(lineTexts(first).contains(ProjectCanvasViewModel::busyLine(first->agentName())));
    EXPECT_TRUE(lineTexts(third).contains(ProjectCanvasViewModel::busyLine(third->agentName())));

    // The log: two clean runs and one stopped by the user.
    ASSERT_TRUE(waitUntil([&] { return entryKinds(entries()).count(QStringLiteral("agentExit")) == 3; }));
    int clean = 0;
    int killed = 0;
    for (const ContextEntry &entry : entries()) {
        if (const auto *exit = std::get_if<ContextEntry::AgentExit>(&entry.payload())) {
            clean += exit->reason == ContextEntry::ExitReason::cleanCompletion;
            killed += exit->reason == ContextEntry::ExitReason::userKilled;
        }
    }
    EXPECT_EQ(clean, 2);
    EXPECT_EQ(killed, 1);
}
