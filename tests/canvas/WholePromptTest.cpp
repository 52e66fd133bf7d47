// One typed prompt end to end against the stand-in `claude` program: routing,
// the agent run, its output in the pane, the activity log, the saved files, and
// a reopened canvas.
#include "CanvasFixture.h"
#include "agents/ClaudeCodeProvider.h"
#include "panes-store/PanesSnapshot.h"
#include "panes-store/PanesLoadResult.h"
#include "support/claude-standin/ClaudeStandin.h"

#include <QFileInfo>
#include <QSet>
#include <algorithm>

using namespace nerim;
using namespace nerim::test;

namespace {

std::shared_ptr<ClaudeCodeProvider> standinProvider(const QString &project)
{
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(claudeStandin::path()); };
    return std::make_shared<ClaudeCodeProvider>(project, options);
}

} // namespace

TEST_F(CanvasTest, ATypedPromptRunsAnAgentAndSurvivesAReopen)
{
    const QString stdinFile = makeTempDir() + QStringLiteral("/stdin");
    qputenv("CLAUDE_STANDIN_RECORD_STDIN", stdinFile.toUtf8());
    claudeStandin::setCommands(QStringLiteral("out Looking at the folder\nerr note: no package.json\n"
                                              "out Wrote index.html\nout TASK_COMPLETE: Built a landing page.\nexit 0"));
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("id-1"), project, QStringLiteral("Site"),
                                                      standinProvider(project), nullptr, services());
    await(canvas->bootstrap());
    ASSERT_EQ(canvas->bootstrapStatus(), ProjectCanvasViewModel::BootstrapStatus::ready());

    QObject scope; // the recording connections end with this test's locals
    QList<AgentStatus> statuses;
    QSet<AgentPaneState *> watched;
    QObject::connect(canvas.get(), &ProjectCanvasViewModel::panesChanged, &scope, [&] {
        for (AgentPaneState *pane : canvas->panes()) {
            if (watched.contains(pane))
                continue;
            watched.insert(pane);
            QObject::connect(pane, &AgentPaneState::statusChanged, &scope,
                             [&statuses, pane] { statuses.append(pane->status()); });
        }
    });

    submit(QStringLiteral("  build a landing page \n"));
    EXPECT_EQ(canvas->inputPrompt(), QString());
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *pane = canvas->panes().first();
    ASSERT_TRUE(settle(pane));

    EXPECT_EQ(statuses, (QList<AgentStatus>{AgentStatus::spawning, AgentStatus::working, AgentStatus::done}));
    // Standard error comes through its own pipe, so only its presence is fixed.
    const QList<OutputLine> lines = pane->outputLines();
    const auto stderrLine = std::find_if(lines.begin(), lines.end(), [](const OutputLine &line) {
        return line.kind == OutputLine::Kind::stderr;
    });
    ASSERT_NE(stderrLine, lines.end());
    EXPECT_EQ(stderrLine->text, QStringLiteral("note: no package.json"));
    QStringList texts;
    QList<OutputLine::Kind> kinds;
    for (const OutputLine &line : lines) {
        if (line.kind == OutputLine::Kind::stderr)
            continue;
        texts.append(line.text);
        kinds.append(line.kind);
    }
    ASSERT_EQ(texts.size(), 8);
    EXPECT_EQ(texts.at(0), QStringLiteral("[Ready \u2014 type a task or hold the mic]"));
    EXPECT_EQ(texts.at(1), QStringLiteral("build a landing page"));
    EXPECT_EQ(texts.at(2), QStringLiteral("[spawning Claude 1\u2026]"));
    EXPECT_TRUE(texts.at(3).startsWith(QStringLiteral("[Claude 1 spawned \u00b7 pid "))) << texts.at(3).toStdString();
    EXPECT_EQ(texts.mid(4, 2), (QStringList{QStringLiteral("Looking at the folder"), QStringLiteral("Wrote index.html")}));
    EXPECT_EQ(texts.at(6), QStringLiteral("Built a landing page."));
    EXPECT_EQ(texts.at(7), QStringLiteral("[Claude 1 exited \u00b7 code 0]"));
    EXPECT_EQ(kinds, (QList<OutputLine::Kind>{OutputLine::Kind::system, OutputLine::Kind::userPrompt,
                                              OutputLine::Kind::system, OutputLine::Kind::system,
                                              OutputLine::Kind::stdout, OutputLine::Kind::stdout,
                                              OutputLine::Kind::taskComplete, OutputLine::Kind::system}));
    ASSERT_EQ(pane->conversation().size(), 1);
    EXPECT_EQ(pane->conversation().first().taskCompleteSummary, QStringLiteral("Built a landing page."));
    // The agent was given the prompt and the project's recent activity.
    const QString prompt = QString::fromUtf8(readFile(stdinFile));
    EXPECT_TRUE(prompt.contains(QStringLiteral("build a landing page")));
    EXPECT_TRUE(prompt.contains(QStringLiteral("[session] Project opened")));

    // The activity log: the opening, then the run's four entries in order.
    ASSERT_TRUE(waitUntil([&] { return entries().size() == 5; }));
    const QList<ContextEntry> log = entries();
    EXPECT_EQ(entryKinds(log), (QStringList{QStringLiteral("projectOpened"), QStringLiteral("agentPromptReceived"),
                                            QStringLiteral("agentSpawned"), QStringLiteral("agentTaskComplete"),
                                            QStringLiteral("agentExit")}));
    const auto &received = std::get<ContextEntry::AgentPromptReceived>(log.at(1).payload());
    EXPECT_EQ(received.prompt, QStringLiteral("build a landing page"));
    EXPECT_EQ(received.agentId, pane->agentId());
    EXPECT_EQ(received.source, ContextEntry::PromptSource::text);
    const auto &spawned = std::get<ContextEntry::AgentSpawned>(log.at(2).payload());
    EXPECT_EQ(spawned.role, QStringLiteral("unspecified"));
    EXPECT_EQ(spawned.provider, QStringLiteral("claudeCode"));
    EXPECT_TRUE(texts.at(3).contains(QString::number(spawned.pid)));
    EXPECT_EQ(std::get<ContextEntry::AgentTaskComplete>(log.at(3).payload()).summaryText,
              QStringLiteral("Built a landing page."));
    const auto &exit = std::get<ContextEntry::AgentExit>(log.at(4).payload());
    EXPECT_EQ(exit.reason, ContextEntry::ExitReason::cleanCompletion);
    EXPECT_EQ(exit.exitCode, 0);

    // panes.json holds the pane as it is now.
    SerialFileWriter::shared().flush();
    const std::optional<PanesSnapshot> saved = loadPanesSnapshot(project + QStringLiteral("/.nerim/panes.json"));
    ASSERT_TRUE(saved);
    ASSERT_EQ(saved->panes.size(), 1);
    EXPECT_EQ(saved->nextAgentNumber, 2);
    EXPECT_EQ(saved->focusedPaneId, pane->id());
    EXPECT_EQ(saved->panes.first().outputLines, pane->outputLines());
    const QList<OutputLine> transcript = pane->outputLines();
    const QList<ConversationTurn> turns = pane->conversation();
    const QUuid paneId = pane->id();

    // A new canvas on the same folder restores the pane idle, and reads the log back.
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("id-1"), project, QStringLiteral("Site"),
                                                      standinProvider(project), nullptr, services());
    await(canvas->bootstrap());
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *restored = canvas->panes().first();
    EXPECT_EQ(restored->id(), paneId);
    EXPECT_EQ(restored->status(), AgentStatus::idle);
    EXPECT_EQ(restored->outputLines(), transcript);
    EXPECT_EQ(restored->conversation(), turns);
    EXPECT_EQ(canvas->focusedPaneId(), paneId);
    EXPECT_EQ(canvas->nextAgentNumber(), 2);
    EXPECT_EQ(entryKinds(entries()).mid(0, 5), entryKinds(log));
}

// An agent that writes a 2 MB and a 20 MB file: each write is one event that
// carries the whole file, and its result carries it again. The pane shows the
// agent's words only, and the turn and panes.json hold no tool JSON.
TEST_F(CanvasTest, AnAgentWritingBigFilesShowsItsWordsAndSavesNoToolJson)
{
    claudeStandin::setCommands(QStringLiteral("out I'll write the two data files.\n"
                                              "write-file 2000000 small.txt\n"
                                              "write-file 20000000 large.txt\n"
                                              "out Both files are written.\n"
                                              "out TASK_COMPLETE: Wrote the data files.\nexit 0"));
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("id-1"), project, QStringLiteral("Data"),
                                                      standinProvider(project), nullptr, services());
    await(canvas->bootstrap());
    submit(QStringLiteral("write the data files"));
    ASSERT_EQ(canvas->panes().size(), 1);
    AgentPaneState *pane = canvas->panes().first();
    ASSERT_TRUE(waitUntil([&] { return !isBusy(pane->status()) && !pane->streamConsumer(); }, 60000));
    EXPECT_EQ(QFileInfo(project + QStringLiteral("/large.txt")).size(), 20000000);

    QStringList shown;
    for (const OutputLine &line : pane->outputLines()) {
        if (line.kind == OutputLine::Kind::stdout || line.kind == OutputLine::Kind::taskComplete ||
            line.kind == OutputLine::Kind::stderr)
            shown.append(line.text);
    }
    EXPECT_EQ(shown, (QStringList{QStringLiteral("I'll write the two data files."),
                                  QStringLiteral("Both files are written."), QStringLiteral("Wrote the data files.")}));
    EXPECT_EQ(pane->status(), AgentStatus::done);
    ASSERT_EQ(pane->conversation().size(), 1);
    EXPECT_EQ(pane->conversation().first().agentResponse,
              QStringLiteral("I'll write the two data files.\nBoth files are written.\nTASK_COMPLETE: Wrote the data files."));

    SerialFileWriter::shared().flush();
    const QByteArray saved = readFile(project + QStringLiteral("/.nerim/panes.json"));
    ASSERT_FALSE(saved.isEmpty());
    EXPECT_LT(saved.size(), 20000);
    for (const char *tool : {"tool_use", "tool_result", "quoted", "NERIM_DEPLOY_LIVE", "{\\\"type\\\""})
        EXPECT_FALSE(saved.contains(tool)) << tool;
}
