// What an agent's output does on the canvas: transcript, turn, markers, the
// address sniffer and the run's end.
#include "CanvasFixture.h"
#include "agents/AgentEventReader.h"
#include "deploy/DeployMarkers.h"
#include "foundation/UuidText.h"
#include "repair/RepairMarkers.h"
#include "persistence/MemoryError.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

using namespace nerim;
using namespace nerim::test;

namespace {

AgentOutput out(const QString &line)
{
    return AgentOutput::stdoutLine(line);
}

} // namespace

class CanvasOutputTest : public CanvasTest {
protected:
    // Runs one prompt in a fresh pane through a script that exits with `exitCode`.
    AgentPaneState *run(QList<AgentOutput> events, qint32 exitCode = 0, AgentPaneState *pane = nullptr)
    {
        if (!pane)
            pane = canvas->spawnPane(QString(), AgentRole::unspecified);
        provider->enqueue(FakeAgentProvider::events(std::move(events), exitCode));
        await(canvas->sendToPane(pane, QStringLiteral("task"), ContextEntry::PromptSource::text));
        EXPECT_TRUE(settle(pane));
        return pane;
    }

    // The transcript after the ready, prompt, spawning and spawned lines.
    static QStringList runLines(const AgentPaneState *pane, qsizetype skip = 4) { return lineTexts(pane).mid(skip); }

    void givePlan(const QList<PlanStep> &steps) { canvas->plan().setSteps(steps); }
};

TEST_F(CanvasOutputTest, TaskCompleteAnywhereInTheLineMakesTheSummaryCueAndNarration)
{
    open();
    AgentPaneState *pane = run({out(QStringLiteral("  Done. TASK_COMPLETE: Added the login page  ")),
                                out(QStringLiteral("task_complete: lower case is just text"))});
    EXPECT_EQ(runLines(pane), (QStringList{QStringLiteral("Added the login page"),
                                           QStringLiteral("task_complete: lower case is just text"),
                                           QStringLiteral("[Claude 1 exited \u00b7 code 0]")}));
    EXPECT_EQ(pane->outputLines().at(4).kind, OutputLine::Kind::taskComplete);
    EXPECT_EQ(pane->outputLines().at(5).kind, OutputLine::Kind::stdout);
    const ConversationTurn turn = pane->conversation().last();
    EXPECT_EQ(turn.agentResponse,
              QStringLiteral("  Done. TASK_COMPLETE: Added the login page  \ntask_complete: lower case is just text"));
    EXPECT_EQ(turn.taskCompleteSummary, QStringLiteral("Added the login page"));
    EXPECT_EQ(pane->status(), AgentStatus::done);
    EXPECT_EQ(feedback.cues.played, (QList<SoundCueService::Cue>{SoundCueService::Cue::agentSpawned,
                                                                  SoundCueService::Cue::taskComplete}));
    EXPECT_EQ(feedback.speaker.said,
              (QStringList{QStringLiteral("Claude 1 is on it."), QStringLiteral("Claude 1 is done.")}));
    EXPECT_EQ(feedback.haptics.performed, QList<HapticPerformer::Pattern>{HapticPerformer::Pattern::levelChange});
}

TEST_F(CanvasOutputTest, AFailedRunClosesItsTurnWithoutSummaryAndLogsOnlyTheExit)
{
    open();
    AgentPaneState *pane = run({out(QStringLiteral("TASK_COMPLETE: looked fine")),
                                AgentOutput::stderrLine(QStringLiteral("Error: crashed"))},
                               1);
    EXPECT_EQ(pane->status(), AgentStatus::error);
    EXPECT_EQ(pane->outputLines().last().kind, OutputLine::Kind::stderr);
    EXPECT_EQ(pane->outputLines().last().text, QStringLiteral("[Claude 1 exited \u00b7 code 1]"));
    EXPECT_EQ(pane->conversation().last().taskCompleteSummary, std::nullopt);
    EXPECT_TRUE(pane->conversation().last().endedAt.has_value());
    ASSERT_TRUE(waitUntil([&] { return entries().size() == 4; }));
    const QList<ContextEntry> log = entries();
    const auto &exit = std::get<ContextEntry::AgentExit>(log.last().payload());
    EXPECT_EQ(exit.reason, ContextEntry::ExitReason::subprocessError);
    EXPECT_EQ(exit.exitCode, 1);
    EXPECT_EQ(entryKinds(entries()).count(QStringLiteral("agentTaskComplete")), 0);
}

TEST_F(CanvasOutputTest, EachRunSummarisesOnlyItsOwnOutput)
{
    open();
    AgentPaneState *pane = run({out(QStringLiteral("TASK_COMPLETE: first run"))});
    run({out(QStringLiteral("a")), out(QStringLiteral("b")), out(QStringLiteral("c")), out(QStringLiteral("d"))}, 0,
        pane);
    EXPECT_EQ(pane->conversation().size(), 2);
    EXPECT_EQ(pane->conversation().last().taskCompleteSummary, std::nullopt);
    // Without a summary line the log keeps the last three lines.
    ASSERT_TRUE(waitUntil([&] { return entries().size() == 9; }));
    EXPECT_EQ(std::get<ContextEntry::AgentTaskComplete>(entries().at(7).payload()).summaryText,
              QStringLiteral("b c d"));
    EXPECT_EQ(std::get<ContextEntry::AgentTaskComplete>(entries().at(3).payload()).summaryText,
              QStringLiteral("first run"));
    // The second prompt was given the first, closed turn.
    ASSERT_EQ(provider->spawnCalls().size(), 2);
    EXPECT_TRUE(provider->spawnCalls().first().priorTurns.isEmpty());
    ASSERT_EQ(provider->spawnCalls().last().priorTurns.size(), 1);
    EXPECT_EQ(provider->spawnCalls().last().priorTurns.first().taskCompleteSummary, QStringLiteral("first run"));
}

TEST_F(CanvasOutputTest, PlanStepMarkersTickStepsByIdOrTitle)
{
    open();
    const QUuid a = newUuid();
    const QUuid b = newUuid();
    const QUuid c = newUuid();
    const QUuid d = newUuid();
    const QUuid e = newUuid();
    givePlan({PlanStep{a, QStringLiteral("Set up the database."), QString(), PlanStep::Status::inProgress},
              PlanStep{b, QStringLiteral("Build  the Landing page"), QString(), PlanStep::Status::done},
              PlanStep{c, QStringLiteral("build the landing page"), QString(), PlanStep::Status::pending},
              PlanStep{d, QStringLiteral("Write tests"), QString(), PlanStep::Status::inProgress},
              PlanStep{e, QStringLiteral("Deploy"), QString(), PlanStep::Status::pending}});

    AgentPaneState *pane = run({
        out(QStringLiteral("plan_step_complete: ") + uuidText(d).toLower()),
        out(QStringLiteral("PLAN_STEP_COMPLETE: `build THE landing   page.`")),
        out(QStringLiteral("  PLAN_STEP_COMPLETE: Set up the database.")),
        out(QStringLiteral("PLAN_STEP_COMPLETE: Deploy to the moon")),
    });
    const QList<PlanStep> steps = canvas->plan().steps();
    EXPECT_EQ(steps.at(0).status, PlanStep::Status::done); // its title ends in a full stop
    EXPECT_EQ(steps.at(1).status, PlanStep::Status::done);
    EXPECT_EQ(steps.at(2).status, PlanStep::Status::done); // the same title, not yet done
    EXPECT_EQ(steps.at(3).status, PlanStep::Status::done); // by its id, in lower case
    EXPECT_EQ(steps.at(4).status, PlanStep::Status::pending);
    // Recognised markers add no line; one that names no step is ordinary output.
    EXPECT_EQ(runLines(pane), (QStringList{QStringLiteral("PLAN_STEP_COMPLETE: Deploy to the moon"),
                                           QStringLiteral("[Claude 1 exited \u00b7 code 0]")}));
    // Every line still belongs to the turn's answer.
    EXPECT_EQ(pane->conversation().last().agentResponse.count(QLatin1Char('\n')), 3);
}

TEST_F(CanvasOutputTest, WhenEveryMatchingStepIsDoneTheLastOneIsTickedAgain)
{
    open();
    const QUuid first = newUuid();
    const QUuid second = newUuid();
    givePlan({PlanStep{first, QStringLiteral("Polish"), QString(), PlanStep::Status::done},
              PlanStep{second, QStringLiteral("Polish"), QString(), PlanStep::Status::done}});
    EXPECT_EQ(ProjectCanvasViewModel::planStepForMarker(QStringLiteral("PLAN_STEP_COMPLETE: polish"),
                                                        canvas->plan().steps()),
              second);
    EXPECT_EQ(ProjectCanvasViewModel::planStepForMarker(QStringLiteral("PLAN_STEP_COMPLETE: \"\"."),
                                                        canvas->plan().steps()),
              std::nullopt);
}

TEST_F(CanvasOutputTest, AHandOffOpensPlansAndPassesTheTextBetweenMarkerAndBracket)
{
    open();
    AgentPaneState *pane = run({out(QStringLiteral("[NERIM_HANDOFF_TO_PLANS:  a loyalty programme ] and more text")),
                                out(QStringLiteral("[NERIM_HANDOFF_TO_PLANS: no closing bracket")),
                                out(QStringLiteral("[NERIM_HANDOFF_TO_PLANS:   ]"))});
    EXPECT_TRUE(canvas->plan().isVisible());
    ASSERT_TRUE(waitUntil([&] { return canvas->plan().conversation().size() == 1; }));
    EXPECT_EQ(canvas->plan().conversation().first().content, QStringLiteral("a loyalty programme"));
    EXPECT_EQ(runLines(pane), (QStringList{QStringLiteral("[NERIM_HANDOFF_TO_PLANS: no closing bracket"),
                                           QStringLiteral("[NERIM_HANDOFF_TO_PLANS:   ]"),
                                           QStringLiteral("[Claude 1 exited \u00b7 code 0]")}));
}

TEST_F(CanvasOutputTest, TheSnifferOffersEachLocalAddressOnceAndRespectsTheUsersAddress)
{
    open();
    // Hidden preview: the empty address bar is filled, nothing loads.
    run({out(QStringLiteral("  Local:   http://localhost:5173/")),
         AgentOutput::stderrLine(QStringLiteral("ready on http://localhost:5173/"))});
    EXPECT_EQ(canvas->preview().addressBar(), QStringLiteral("http://localhost:5173/"));
    EXPECT_FALSE(canvas->preview().pendingNavigation());

    // Visible preview with nothing loaded: the new address is loaded.
    canvas->preview().setAddressBar(QString());
    canvas->preview().setVisible(true);
    run({out(QStringLiteral("Server running at http://127.0.0.1:8000"))});
    EXPECT_EQ(canvas->preview().addressBar(), QStringLiteral("http://127.0.0.1:8000"));
    ASSERT_TRUE(canvas->preview().pendingNavigation());
    EXPECT_EQ(canvas->preview().pendingNavigation()->url(), QUrl(QStringLiteral("http://127.0.0.1:8000")));

    // An address the user typed stays, and the offered one is not offered again.
    canvas->preview().setAddressBar(QStringLiteral("http://example.test"));
    run({out(QStringLiteral("listening on http://localhost:4000"))});
    EXPECT_EQ(canvas->preview().addressBar(), QStringLiteral("http://example.test"));
    canvas->preview().setAddressBar(QString());
    run({out(QStringLiteral("listening on http://localhost:4000"))});
    EXPECT_EQ(canvas->preview().addressBar(), QString());
    EXPECT_EQ(canvas->snifferSuggestedURLs().size(), 3);
}

TEST_F(CanvasOutputTest, HangSignalsAndCompletionsShowAsSystemLines)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    provider->enqueue(FakeAgentProvider::running());
    await(canvas->sendToPane(pane, QStringLiteral("task"), ContextEntry::PromptSource::text));
    const QUuid session = pane->currentSession()->id;
    provider->yieldEvent(session, AgentOutput::completion(QStringLiteral("wrapped up")));
    provider->yieldEvent(session, AgentOutput::statusLine(QStringLiteral("trying again (attempt 2 of 10)")));
    provider->yieldEvent(session, AgentOutput::hangSignal(HangThreshold::forcedDecision));
    ASSERT_TRUE(waitUntil([&] { return pane->status() == AgentStatus::hung; }));
    EXPECT_EQ(lineTexts(pane).mid(4),
              (QStringList{QStringLiteral("[completed] wrapped up"), QStringLiteral("trying again (attempt 2 of 10)"),
                           QStringLiteral("[hang signal: forcedDecision]")}));
    // A status line is the program's, not the agent's answer: a quiet system line.
    EXPECT_EQ(pane->outputLines().at(pane->outputLines().size() - 2).kind, OutputLine::Kind::system);
    // A hung pane is busy; its exit ends it as usual.
    submit(QStringLiteral("next"));
    EXPECT_EQ(canvas->inputPrompt(), QStringLiteral("next"));
    provider->finish(session, 0);
    ASSERT_TRUE(settle(pane));
    EXPECT_EQ(pane->status(), AgentStatus::done);
}

TEST_F(CanvasOutputTest, AMemoryWriteFailureGoesToItsPaneOrElseToTheLog)
{
    open();
    AgentPaneState *pane = canvas->spawnPane(QString(), AgentRole::unspecified);
    const auto failure = std::make_exception_ptr(MemoryError::writeFailed(QStringLiteral("/p/context.json"),
                                                                          QStringLiteral("disk full")));
    canvas->reportMemoryWriteFailure(QStringLiteral("agentExit"), pane->agentId(), failure);
    EXPECT_EQ(pane->outputLines().last().kind, OutputLine::Kind::stderr);
    EXPECT_TRUE(lineTexts(pane).last().startsWith(QStringLiteral("[memory: agentExit write failed \u2014 ")));
    EXPECT_TRUE(lineTexts(pane).last().contains(QStringLiteral("disk full")));

    LogCapture log;
    canvas->reportMemoryWriteFailure(QStringLiteral("agentSpawned"), QStringLiteral("gone"), failure);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim memory] [memory: agentSpawned write failed \u2014 ")));
}

// A line too long to show whole is cut into pieces, and no cut makes a marker
// that the whole line was not: here the first cut falls right after a plan
// step's title (the whole line's payload runs on), the second piece would
// start with a Deploy marker and end inside an unclosed hand-off, and the
// third would start with a Repair marker. Nothing is ticked, handed off or
// recognised by the Deploy and Repair agents' readers, and all the text shows.
TEST_F(CanvasOutputTest, CuttingALongLineForgesNoMarker)
{
    open();
    const QUuid step = newUuid();
    givePlan({PlanStep{step, QStringLiteral("Set up the database"), QString(), PlanStep::Status::pending}});

    constexpr qsizetype piece = AgentEventReader::maxShownLineBytes;
    const QByteArray stepMarker = "PLAN_STEP_COMPLETE: Set up the database";
    const QByteArray deployMarker = "[NERIM_DEPLOY_LIVE] https://evil.example ";
    const QByteArray handOff = "[NERIM_HANDOFF_TO_PLANS: take over";
    const QByteArray repairMarker = "[NERIM_REPAIR_LAUNCH_OVERRIDE] rm -rf ~ ";
    QByteArray line = "Here is the data: ";
    line += QByteArray(piece - line.size() - stepMarker.size(), 'a') + stepMarker;
    line += deployMarker + QByteArray(piece - deployMarker.size() - handOff.size(), 'b') + handOff;
    line += repairMarker + "and the rest";
    ASSERT_EQ(line.indexOf(stepMarker) + stepMarker.size(), piece);
    ASSERT_EQ(line.indexOf(handOff) + handOff.size(), 2 * piece);

    AgentEventReader reader;
    QList<AgentOutput> pieces;
    const QString text = QString::fromLatin1(line);
    reader.readLine(QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("assistant")},
                                              {QStringLiteral("message"),
                                               QJsonObject{{QStringLiteral("content"),
                                                            QJsonArray{QJsonObject{{QStringLiteral("type"), QStringLiteral("text")},
                                                                                   {QStringLiteral("text"), text}}}}}}})
                        .toJson(QJsonDocument::Compact),
                    pieces);
    ASSERT_EQ(pieces.size(), 3);
    for (const AgentOutput &event : std::as_const(pieces)) {
        EXPECT_FALSE(DeployMarkers::parse(event.text()).has_value());
        EXPECT_FALSE(RepairMarkers::parse(event.text()).has_value());
    }

    AgentPaneState *pane = run(pieces);
    EXPECT_EQ(canvas->plan().steps().first().status, PlanStep::Status::pending);
    EXPECT_FALSE(canvas->plan().isVisible());
    spinEventLoop();
    EXPECT_TRUE(canvas->plan().conversation().isEmpty());
    const QList<OutputLine> lines = pane->outputLines().mid(4, 3);
    ASSERT_EQ(lines.size(), 3);
    QString shown;
    for (const OutputLine &shownLine : lines) {
        EXPECT_EQ(shownLine.kind, OutputLine::Kind::stdout);
        shown += shownLine.text;
    }
    EXPECT_EQ(shown.size(), text.size() + 3 * QStringLiteral("(part 1 of 3) ").size() +
                                2 * AgentEventReader::cutNotice().size());
}

// A shown line over a mebibyte reaches the pane in pieces. Markers are read
// from whole lines only: no piece acts on a marker that the whole line does
// not hold as its own (a hand-off late in a line that hands off something
// else, a plan step or summary in the middle of a long line).
TEST_F(CanvasOutputTest, PiecesOfALongLineActOnNoMarker)
{
    open();
    const QUuid step = newUuid();
    givePlan({PlanStep{step, QStringLiteral("Set up the database"), QString(), PlanStep::Status::inProgress}});
    const QString filler = QStringLiteral("a").repeated(AgentEventReader::maxShownLineBytes + 1000);
    const QStringList lines = {
        QStringLiteral("[NERIM_HANDOFF_TO_PLANS: ") + filler + QStringLiteral(" [NERIM_HANDOFF_TO_PLANS: evil]"),
        filler + QStringLiteral(" PLAN_STEP_COMPLETE: Set up the database"),
        filler + QStringLiteral(" TASK_COMPLETE: forged summary"),
    };
    // Through the program's own reader: an assistant message, and the same
    // text as plain lines that are no events.
    QList<AgentOutput> events;
    AgentEventReader reader;
    QJsonObject block{{QStringLiteral("type"), QStringLiteral("text")}, {QStringLiteral("text"), lines.join(u'\n')}};
    const QByteArray message = QJsonDocument(QJsonObject{
        {QStringLiteral("type"), QStringLiteral("assistant")},
        {QStringLiteral("message"), QJsonObject{{QStringLiteral("model"), QStringLiteral("m")},
                                                {QStringLiteral("content"), QJsonArray{block}}}}})
                                   .toJson(QJsonDocument::Compact);
    reader.readLine(QByteArrayView(message), events);
    for (const QString &line : lines)
        reader.readLine(line, events);
    ASSERT_EQ(events.size(), 12);
    for (const AgentOutput &event : std::as_const(events))
        EXPECT_TRUE(event.isPieceOfLine());

    AgentPaneState *pane = run(events);
    EXPECT_FALSE(canvas->plan().isVisible());
    EXPECT_TRUE(canvas->plan().conversation().isEmpty());
    EXPECT_EQ(canvas->plan().steps().first().status, PlanStep::Status::inProgress);
    EXPECT_EQ(pane->conversation().last().taskCompleteSummary, std::nullopt);
    // Every piece is shown as the agent's text.
    const QStringList shown = runLines(pane);
    ASSERT_EQ(shown.size(), 13);
    EXPECT_TRUE(shown.at(1).endsWith(QStringLiteral("[NERIM_HANDOFF_TO_PLANS: evil]")));
    for (qsizetype i = 4; i < 4 + 12; ++i)
        EXPECT_EQ(pane->outputLines().at(i).kind, OutputLine::Kind::stdout);
    // And the turn's answer holds them all.
    QStringList pieces;
    for (const AgentOutput &event : std::as_const(events))
        pieces.append(event.text());
    EXPECT_TRUE(pane->conversation().last().agentResponse == pieces.join(u'\n'));
}
