#include "agents/AgentPaneState.h"
#include "foundation/UuidText.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>
#include <memory>

using namespace nerim;

namespace {

std::unique_ptr<AgentPaneState> makePane(const QString &name = QStringLiteral("Claude 1"))
{
    return std::make_unique<AgentPaneState>(newUuid(), uuidText(newUuid()), name, 1, false, AgentRole::unspecified,
                                            QString());
}

} // namespace

TEST(AgentPaneState, NewPaneIsIdleAndEmpty)
{
    auto pane = makePane();
    EXPECT_EQ(pane->status(), AgentStatus::idle);
    EXPECT_TRUE(pane->outputLines().isEmpty());
    EXPECT_TRUE(pane->conversation().isEmpty());
    EXPECT_TRUE(pane->currentStdout().isEmpty());
    EXPECT_FALSE(pane->currentSession());
    EXPECT_FALSE(pane->streamConsumer());
    EXPECT_EQ(pane->displayResponsibility(), QStringLiteral("Ready for a task"));
    pane->setResponsibility(QStringLiteral("  "));
    EXPECT_EQ(pane->displayResponsibility(), QStringLiteral("  "));
}

TEST(AgentPaneState, SettersNotifyOnlyOnChangeWhileAppendsAlwaysNotify)
{
    auto pane = makePane();
    int status = 0, name = 0, lines = 0, turns = 0, role = 0;
    QObject::connect(pane.get(), &AgentPaneState::statusChanged, [&] { ++status; });
    QObject::connect(pane.get(), &AgentPaneState::agentNameChanged, [&] { ++name; });
    QObject::connect(pane.get(), &AgentPaneState::outputLinesChanged, [&] { ++lines; });
    QObject::connect(pane.get(), &AgentPaneState::conversationChanged, [&] { ++turns; });
    QObject::connect(pane.get(), &AgentPaneState::roleChanged, [&] { ++role; });

    pane->setStatus(AgentStatus::idle);
    pane->setStatus(AgentStatus::working);
    pane->setStatus(AgentStatus::working);
    pane->setAgentName(QStringLiteral("Claude 1"));
    pane->setAgentName(QStringLiteral("Ada"));
    pane->setRole(AgentRole::unspecified);
    pane->setRole(AgentRole::designer);
    pane->appendLine(OutputLine::Kind::stdout, QStringLiteral("same"));
    pane->appendLine(OutputLine::Kind::stdout, QStringLiteral("same"));
    pane->setConversation({});
    pane->beginTurn(QStringLiteral("task"));
    pane->appendStdoutToTurn(QStringLiteral("x"));
    EXPECT_EQ(status, 1);
    EXPECT_EQ(name, 1);
    EXPECT_EQ(role, 1);
    EXPECT_EQ(lines, 2);
    EXPECT_EQ(turns, 2);
    EXPECT_NE(pane->outputLines().at(0).id, pane->outputLines().at(1).id);
}

TEST(AgentPaneState, TurnCollectsStdoutLinesJoinedByLineFeeds)
{
    auto pane = makePane(QStringLiteral("Builder"));
    pane->beginTurn(QStringLiteral("build it"));
    pane->appendStdoutToTurn(QString());
    EXPECT_EQ(pane->conversation().last().agentResponse, QString()); // empty stays empty
    pane->appendStdoutToTurn(QStringLiteral("first"));
    pane->appendStdoutToTurn(QString());
    pane->appendStdoutToTurn(QStringLiteral("third"));
    EXPECT_EQ(pane->conversation().last().agentResponse, QStringLiteral("first\n\nthird"));
    EXPECT_TRUE(pane->completedTurns().isEmpty());

    pane->closeTurn(QStringLiteral("Built it."));
    ASSERT_EQ(pane->completedTurns().size(), 1);
    EXPECT_EQ(pane->completedTurns().first().taskCompleteSummary, QStringLiteral("Built it."));
    const ConversationTurn closed = pane->conversation().last();

    test::LogCapture log;
    pane->appendStdoutToTurn(QStringLiteral("late"));
    pane->closeTurn(QStringLiteral("other"));
    EXPECT_EQ(pane->conversation().last(), closed);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim] Warning: stdout arrived for pane 1 with no in-flight turn. Dropped.")));
}

TEST(AgentPaneState, BeginTurnClosesAnOpenTurnDefensively)
{
    auto pane = makePane();
    pane->closeTurn(std::nullopt); // no turns: nothing happens
    EXPECT_TRUE(pane->conversation().isEmpty());
    pane->beginTurn(QStringLiteral("one"));
    pane->setAgentName(QStringLiteral("Renamed"));
    test::LogCapture log;
    pane->beginTurn(QStringLiteral("two"));
    ASSERT_EQ(pane->conversation().size(), 2);
    const ConversationTurn first = pane->conversation().at(0);
    EXPECT_TRUE(first.endedAt.has_value());
    EXPECT_FALSE(first.taskCompleteSummary.has_value());
    EXPECT_EQ(*first.endedAt, pane->conversation().at(1).startedAt);
    EXPECT_TRUE(pane->conversation().at(1).isInFlight());
    EXPECT_TRUE(log.contains(
        QStringLiteral("[Nerim] Warning: previous turn on pane Renamed was never closed. Closing defensively.")));

    pane->closeTurn(std::nullopt);
    EXPECT_FALSE(pane->conversation().last().taskCompleteSummary.has_value());
    EXPECT_TRUE(pane->conversation().last().endedAt.has_value());
}

TEST(AgentPaneState, MarkExitedSetsDoneOrErrorAndClearsTheSession)
{
    for (const auto &[code, expected] : std::initializer_list<std::pair<qint32, AgentStatus>>{
             {0, AgentStatus::done}, {1, AgentStatus::error}, {127, AgentStatus::error}, {-9, AgentStatus::error}}) {
        auto pane = makePane();
        AgentSession session;
        session.id = newUuid();
        pane->setCurrentSession(session);
        pane->setStatus(AgentStatus::working);
        pane->markExited(code);
        EXPECT_EQ(pane->status(), expected) << code;
        EXPECT_FALSE(pane->currentSession());
    }
}

TEST(AgentPaneState, TaskCompleteSummaryComesFromTheNewestMarkerLine)
{
    auto pane = makePane();
    pane->setCurrentStdout({QStringLiteral("TASK_COMPLETE: old"), QStringLiteral("work"),
                            QStringLiteral("   TASK_COMPLETE:  \tAdded a footer.  "), QStringLiteral("trailing")});
    EXPECT_EQ(pane->taskCompleteSummary(0), QStringLiteral("Added a footer."));
    EXPECT_FALSE(pane->taskCompleteSummary(1));
    pane->setCurrentStdout({QStringLiteral("nothing here")});
    EXPECT_FALSE(pane->taskCompleteSummary(0));
}

// A long run keeps only its newest standard-output lines, and the newest
// marker line when it is older than those: the summary is what the whole run
// would give, wherever the marker stands in its line (a colon of its own
// elsewhere, right at the start, after long text) and whenever it came.
TEST(AgentPaneState, ALongRunKeepsItsNewestLinesAndItsNewestMarkerLine)
{
    const QStringList shapes{
        QStringLiteral("TASK_COMPLETE: at the start %1"),
        QStringLiteral("a: colon first, then TASK_COMPLETE: further on %1"),
        QStringLiteral("%1 a longer stretch of text before it, well past a block or two, TASK_COMPLETE:end"),
        QStringLiteral("été TASK_COMPLETE:%1"),
    };
    const QStringList nearMisses{
        QStringLiteral("TASK_COMPLETE without its colon %1"),
        QStringLiteral("TASK_COMPLETE : spaced %1"),
        QStringLiteral("ASK_COMPLETE: cut short %1"),
        QStringLiteral("%1:::::::::::::::::::::::::::::::::"),
    };
    // The run starts from lines given whole, then streams.
    auto pane = makePane();
    QStringList all{QStringLiteral("given"), QStringLiteral("TASK_COMPLETE: given at first"), QStringLiteral("x")};
    pane->setCurrentStdout(all);
    qsizetype newestMarker = 1;
    quint32 seed = 7;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    for (int i = 0; i < 9000; ++i) {
        const quint32 roll = next() % 1000;
        QString line = QStringLiteral("line %1").arg(i);
        if (roll < 3)
            line = shapes.at(next() % shapes.size()).arg(i);
        else if (roll < 40)
            line = nearMisses.at(next() % nearMisses.size()).arg(i);
        all.append(line);
        if (line.contains(taskCompleteMarker))
            newestMarker = all.size() - 1;
        pane->appendCurrentStdout(line);

        const QStringList &kept = pane->currentStdout();
        ASSERT_GE(kept.size(), std::min<qsizetype>(all.size(), AgentPaneState::currentStdoutKept)) << i;
        ASSERT_LE(kept.size(), 2 * AgentPaneState::currentStdoutKept) << i;
        ASSERT_EQ(kept.last(), line) << i;
        // Checked whole right after each trim and now and then between.
        if (kept.size() > AgentPaneState::currentStdoutKept + 1 && i % 61 != 0)
            continue;
        // The kept lines are the newest ones, led by the marker line when it
        // is older than them.
        const bool markerLeads = newestMarker >= 0 && newestMarker < all.size() - kept.size();
        const qsizetype suffix = markerLeads ? kept.size() - 1 : kept.size();
        ASSERT_EQ(kept.mid(kept.size() - suffix), all.mid(all.size() - suffix)) << i;
        if (markerLeads) {
            ASSERT_EQ(kept.first(), all.at(newestMarker)) << i;
        }
        if (newestMarker < 0) {
            ASSERT_FALSE(pane->taskCompleteSummary(0)) << i;
        } else {
            auto reference = makePane();
            reference->setCurrentStdout({all.at(newestMarker)});
            ASSERT_EQ(pane->taskCompleteSummary(0), reference->taskCompleteSummary(0)) << i;
        }
    }
    EXPECT_EQ(pane->currentStdoutLineCount(), 9003);
}

TEST(AgentPaneState, KeepsTenThousandLinesInOrder)
{
    auto pane = makePane();
    for (int i = 0; i < 10000; ++i)
        pane->appendLine(OutputLine::Kind::stdout, QString::number(i));
    ASSERT_EQ(pane->outputLines().size(), 10000);
    for (int i = 0; i < 10000; i += 997)
        EXPECT_EQ(pane->outputLines().at(i).text, QString::number(i));
}
