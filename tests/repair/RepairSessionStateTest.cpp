#include "repair/RepairSessionState.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace nerim;
using Phase = RepairSessionState::Phase;

TEST(RepairSessionState, StartsIdleWithNothingHeld)
{
    RepairSessionState state;
    EXPECT_EQ(state.phase(), Phase::idle());
    EXPECT_EQ(state.phase().displayText(), QString());
    EXPECT_FALSE(state.repairPaneID());
    EXPECT_FALSE(state.context());
    EXPECT_FALSE(state.lastErrorText());
}

TEST(RepairSessionState, EveryPhaseHasItsBannerTextKindAndDebugDescription)
{
    struct Case {
        Phase phase;
        QString text;
        QString debug;
        bool active;
        bool terminal;
    };
    const Case cases[] = {
        {Phase::repairing(2), QStringLiteral("Nerim is fixing it… (attempt 2)"), QStringLiteral("repairing(attempt: 2)"), true, false},
        {Phase::retryingApp(12345), QStringLiteral("Restarting your app… (attempt 12345)"),
         QStringLiteral("retryingApp(attempt: 12345)"), true, false},
        {Phase::awaitingSecret(QStringLiteral("OPENAI_API_KEY"), QStringLiteral("Say \"hi\"."), 1),
         QStringLiteral("Nerim needs OPENAI_API_KEY"),
         QStringLiteral("awaitingSecret(varName: \"OPENAI_API_KEY\", explanation: \"Say \\\"hi\\\".\", attempt: 1)"), true,
         false},
        {Phase::stuck(QStringLiteral("Tried 3 fixes and the app still crashes.")),
         QStringLiteral("I tried but I'm stuck — Tried 3 fixes and the app still crashes."),
         QStringLiteral("stuck(reason: \"Tried 3 fixes and the app still crashes.\")"), false, true},
        {Phase::stuck(QString()), QStringLiteral("I tried but I'm stuck — "), QStringLiteral("stuck(reason: \"\")"), false, true},
        {Phase::idle(), QString(), QStringLiteral("idle"), false, false},
        {Phase::preparing(), QStringLiteral("Nerim is looking at the crash…"), QStringLiteral("preparing"), true, false},
        {Phase::fixed(), QStringLiteral("Fixed. Your app is running."), QStringLiteral("fixed"), false, true},
        {Phase::cancelled(), QString(), QStringLiteral("cancelled"), false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.debug.toStdString());
        EXPECT_EQ(c.phase.displayText(), c.text);
        EXPECT_EQ(c.phase.debugDescription(), c.debug);
        EXPECT_EQ(c.phase.isActive(), c.active);
        EXPECT_EQ(c.phase.isTerminal(), c.terminal);
    }
}

TEST(RepairSessionState, NotifiesOnlyWhenAValueChanges)
{
    RepairSessionState state;
    QSignalSpy phase(&state, &RepairSessionState::phaseChanged);
    QSignalSpy pane(&state, &RepairSessionState::repairPaneIDChanged);
    QSignalSpy context(&state, &RepairSessionState::contextChanged);
    QSignalSpy error(&state, &RepairSessionState::lastErrorTextChanged);

    state.setPhase(Phase::repairing(2));
    state.setPhase(Phase::repairing(2));
    EXPECT_EQ(phase.count(), 1);
    state.setPhase(Phase::repairing(3));
    state.setPhase(Phase::retryingApp(3)); // same attempt, other case
    EXPECT_EQ(phase.count(), 3);
    state.setPhase(Phase::awaitingSecret(QStringLiteral("A"), QStringLiteral("x"), 3));
    state.setPhase(Phase::awaitingSecret(QStringLiteral("A"), QStringLiteral("y"), 3));
    state.setPhase(Phase::stuck(QStringLiteral("r")));
    state.setPhase(Phase::stuck(QStringLiteral("r")));
    EXPECT_EQ(phase.count(), 6);
    EXPECT_EQ(state.phase(), Phase::stuck(QStringLiteral("r")));

    const QUuid id = QUuid::createUuid();
    state.setRepairPaneID(id);
    state.setRepairPaneID(id);
    EXPECT_EQ(pane.count(), 1);

    RepairContext first;
    first.summary = QStringLiteral("Port 3000 is busy.");
    state.setContext(first);
    state.setContext(first);
    RepairContext next = first;
    next.attempt = 2;
    state.setContext(next);
    EXPECT_EQ(context.count(), 2);
    EXPECT_EQ(state.context()->attempt, 2);

    state.setLastErrorText(QStringLiteral("Couldn't load the page."));
    state.setLastErrorText(QStringLiteral("Couldn't load the page."));
    state.setLastErrorText(std::nullopt);
    EXPECT_EQ(error.count(), 2);
}
