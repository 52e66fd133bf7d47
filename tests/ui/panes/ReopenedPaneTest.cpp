// A pane whose agent was at work when Nerim closed the project, or when Nerim
// was killed, says so when the project opens again: in Highlights too, and
// only once however often the project opens after that.
#include "agents/SavedPanes.h"
#include "canvas/CanvasFixture.h"
#include "ui/panes/TranscriptGrouping.h"

using namespace nerim;
using namespace nerim::test;

namespace {

QStringList highlights(const AgentPaneState *pane)
{
    QStringList texts;
    for (const OutputLine &line : visibleLines(pane->outputLines(), AppState::OutputMode::notification))
        texts.append(line.text);
    return texts;
}

} // namespace

TEST_F(CanvasTest, APaneCutShortByTheEndOfNerimSaysSoOnceAlsoInHighlights)
{
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "kill" : "quit");
        project = makeTempDir(QStringLiteral("project"));
        open();
        provider->enqueue(FakeAgentProvider::events({AgentOutput::stdoutLine(QStringLiteral("TASK_COMPLETE: hi"))}));
        provider->enqueue(FakeAgentProvider::running({AgentOutput::stdoutLine(QStringLiteral("Tidying…"))}));
        canvas->spawnAgents(2);
        ASSERT_EQ(canvas->panes().size(), 2);
        AgentPaneState *finished = canvas->panes().first();
        AgentPaneState *working = canvas->panes().last();
        await(canvas->sendToPane(finished, QStringLiteral("Say hi"), ContextEntry::PromptSource::text));
        ASSERT_TRUE(settle(finished));
        await(canvas->sendToPane(working, QStringLiteral("Tidy the code slowly"), ContextEntry::PromptSource::text));
        ASSERT_EQ(working->status(), AgentStatus::working);

        if (kill) {
            // As if Nerim were killed: what was saved stays, nothing ends.
            canvas->focusPane(working->id());
            SerialFileWriter::shared().flush();
            canvas.reset();
            open();
        } else {
            reopen();
        }
        const QString said = kill ? taskStoppedUnexpectedlyLine : taskStoppedByCloseLine;
        ASSERT_EQ(canvas->panes().size(), 2);
        EXPECT_EQ(lineTexts(canvas->panes().last()).last(), said);
        EXPECT_EQ(highlights(canvas->panes().last()).last(), said);
        // The task that ended says nothing of the kind.
        EXPECT_FALSE(lineTexts(canvas->panes().first()).contains(said));

        // Said once: the next opens find the task ended.
        reopen();
        reopen();
        EXPECT_EQ(lineTexts(canvas->panes().last()).count(said), 1);
        EXPECT_FALSE(
            lineTexts(canvas->panes().last()).contains(kill ? taskStoppedByCloseLine : taskStoppedUnexpectedlyLine));
        await(canvas->teardown());
        canvas.reset();
    }
}
