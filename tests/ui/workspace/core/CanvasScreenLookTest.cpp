// The canvas screen's rules, and how its panels' callbacks reach the
// controller: a real controller over a temporary project, recording the
// operations the callbacks start.
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "plans/PlansWorkspaceStore.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"
#include "ui/workspace/CanvasPanelWiring.h"
#include "ui/workspace/CanvasScreenLook.h"

#include <QCoro/QCoroTimer>
#include <QTimer>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

namespace nerim {
namespace {

TEST(CanvasScreenLook, PanelRowChoice)
{
    using Row = CanvasScreenLook::PanelRow;
    struct Case {
        bool planVisible, planExpanded, previewVisible, previewExpanded;
        Row row;
    };
    const Case cases[] = {
        // Nothing open: the agent column alone (its spawn button even without panes).
        {false, false, false, false, {false, false, true, 0}},
        {true, false, false, false, {true, false, true, 0}},
        {true, false, true, false, {true, true, true, 0}},
        // An expanded panel hides the column and the other panel, with padding.
        {true, true, true, false, {true, false, false, 40}},
        {true, false, true, true, {false, true, false, 40}},
        // Both expanded: the plan wins.
        {true, true, true, true, {true, false, false, 40}},
        // Expanded but hidden counts for nothing.
        {false, true, true, false, {false, true, true, 0}},
        {true, false, false, true, {true, false, true, 0}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(CanvasScreenLook::panelRow(c.planVisible, c.planExpanded, c.previewVisible, c.previewExpanded), c.row)
            << c.planVisible << c.planExpanded << c.previewVisible << c.previewExpanded;
    }
}

TEST(CanvasScreenLook, RegeneratePromptKeepsAGoalOfSpaces)
{
    EXPECT_EQ(CanvasScreenLook::regeneratePrompt(QString()), u"Please regenerate the plan from scratch."_s);
    EXPECT_EQ(CanvasScreenLook::regeneratePrompt(u"  "_s), u"Please regenerate the plan from scratch for this goal:   "_s);
    EXPECT_EQ(CanvasScreenLook::regeneratePrompt(u"A recipe site"_s),
              u"Please regenerate the plan from scratch for this goal: A recipe site"_s);
    EXPECT_EQ(CanvasScreenLook::memoryUnavailableText(u"<i>disk</i> full"_s), u"Memory unavailable · <i>disk</i> full"_s);
}

// What the panels' callbacks started, in order, with what the repair state
// held at the moment each repair operation began.
struct Recorder {
    QStringList calls;
    ProjectCanvasViewModel *canvas = nullptr;

    static QCoro::Task<> done() { co_return; }

    CanvasPanelOperations operations()
    {
        CanvasPanelOperations ops;
        ops.sendPlansMessage = [this](QString text) {
            calls.append(u"plans:"_s + text);
            return done();
        };
        ops.organizePlans = [this] {
            calls.append(u"organize"_s);
            return done();
        };
        ops.beginRepair = [this] {
            const RepairSessionState &repair = canvas->repairSession().state();
            calls.append(u"begin:"_s + repair.phase().debugDescription() +
                         (repair.repairPaneID() || repair.context() || repair.lastErrorText() ? u"+leftovers"_s
                                                                                              : QString()));
            return done();
        };
        ops.cancelRepair = [this] {
            calls.append(u"cancel"_s);
            return done();
        };
        ops.submitRepairSecret = [this](QString name, QString value) {
            calls.append(u"secret:"_s + name + u"="_s + value);
            return done();
        };
        return ops;
    }
};

class CanvasWiringTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        project = test::makeTempDir(u"project"_s);
        canvas = std::make_unique<ProjectCanvasViewModel>(u"id"_s, project, u"Site"_s,
                                                          std::make_shared<test::FakeAgentProvider>());
        test::await(canvas->bootstrap());
        recorder.canvas = canvas.get();
    }
    void TearDown() override
    {
        if (canvas)
            test::await(canvas->teardown());
    }

    QString project;
    std::unique_ptr<ProjectCanvasViewModel> canvas;
    Recorder recorder;
};

TEST_F(CanvasWiringTest, RetryFromScratchForgetsTheLastSessionBeforeBeginning)
{
    RepairSessionState &repair = canvas->repairSession().state();
    repair.setPhase(RepairSessionState::Phase::stuck(u"gave up"_s));
    repair.setRepairPaneID(QUuid::createUuid());
    repair.setLastErrorText(u"boom"_s);
    QStringList changes;
    QObject::connect(&repair, &RepairSessionState::phaseChanged, [&] { changes.append(u"phase"_s); });
    QObject::connect(&repair, &RepairSessionState::repairPaneIDChanged, [&] { changes.append(u"pane"_s); });
    QObject::connect(&repair, &RepairSessionState::lastErrorTextChanged, [&] { changes.append(u"error"_s); });

    const RepairBannerCoordinator coordinator =
        CanvasPanelWiring::repairBannerCoordinator(canvas.get(), recorder.operations());
    EXPECT_FALSE(coordinator.isRepairable);
    coordinator.retryRepairFromScratch();
    EXPECT_EQ(changes, (QStringList{u"phase"_s, u"pane"_s, u"error"_s}));
    EXPECT_EQ(recorder.calls, QStringList{u"begin:idle"_s});

    coordinator.beginRepair();
    coordinator.cancelRepair();
    EXPECT_EQ(recorder.calls.mid(1), (QStringList{u"begin:idle"_s, u"cancel"_s}));
}

TEST_F(CanvasWiringTest, ASecretGoesOnlyToTheVariableBeingAskedFor)
{
    const RepairBannerCoordinator coordinator =
        CanvasPanelWiring::repairBannerCoordinator(canvas.get(), recorder.operations());
    RepairSessionState &repair = canvas->repairSession().state();
    for (const RepairSessionState::Phase &phase :
         {RepairSessionState::Phase::idle(), RepairSessionState::Phase::repairing(1),
          RepairSessionState::Phase::stuck(u"no"_s), RepairSessionState::Phase::fixed()}) {
        repair.setPhase(phase);
        coordinator.submitSecret(u"sk-1"_s);
    }
    EXPECT_TRUE(recorder.calls.isEmpty());
    repair.setPhase(RepairSessionState::Phase::awaitingSecret(u"STRIPE_KEY"_s, u"for payments"_s, 2));
    coordinator.submitSecret(u"sk-1"_s);
    EXPECT_EQ(recorder.calls, QStringList{u"secret:STRIPE_KEY=sk-1"_s});
}

TEST_F(CanvasWiringTest, RepairableFollowsTheLastLaunch)
{
    canvas->setLastLaunchAttemptDetectionError(u"No package.json"_s);
    EXPECT_TRUE(CanvasPanelWiring::repairBannerCoordinator(canvas.get()).isRepairable);
}

TEST_F(CanvasWiringTest, PlansCallbacks)
{
    const PlansPanelCallbacks callbacks = CanvasPanelWiring::plansPanelCallbacks(canvas.get(), recorder.operations());
    callbacks.onRegenerateRequested();
    canvas->plan().setGoal(u" "_s);
    callbacks.onRegenerateRequested();
    callbacks.onGenerateRequested(u"A recipe site"_s);
    callbacks.onOrganizeRequested();
    EXPECT_EQ(recorder.calls, (QStringList{u"plans:Please regenerate the plan from scratch."_s,
                                           u"plans:Please regenerate the plan from scratch for this goal:  "_s,
                                           u"plans:A recipe site"_s, u"organize"_s}));

    callbacks.onOpenWorkspaceFile(u"overview.md"_s);
    EXPECT_EQ(canvas->plan().openWorkspaceFile(), u"overview.md"_s);
    callbacks.onCloseWorkspaceFile();
    EXPECT_FALSE(canvas->plan().openWorkspaceFile());

    ASSERT_TRUE(canvas->plansWorkspace().writeFile(u"overview.md"_s, u"# Plan"_s).result());
    callbacks.onRefreshWorkspace();
    for (int i = 0; i < 500 && canvas->plan().workspaceFiles().isEmpty(); ++i) {
        QTimer timer;
        timer.setSingleShot(true);
        timer.start(5);
        test::await([](QTimer *t) -> QCoro::Task<> { co_await *t; }(&timer));
    }
    ASSERT_EQ(canvas->plan().workspaceFiles().size(), 1);
    EXPECT_EQ(canvas->plan().workspaceFiles().first().filename, u"overview.md"_s);
}

TEST_F(CanvasWiringTest, CallbacksDoNothingOnceTheControllerIsGone)
{
    const PlansPanelCallbacks callbacks = CanvasPanelWiring::plansPanelCallbacks(canvas.get(), recorder.operations());
    const RepairBannerCoordinator coordinator =
        CanvasPanelWiring::repairBannerCoordinator(canvas.get(), recorder.operations());
    test::await(canvas->teardown());
    canvas.reset();
    callbacks.onRegenerateRequested();
    callbacks.onGenerateRequested(u"x"_s);
    callbacks.onOpenWorkspaceFile(u"x.md"_s);
    callbacks.onRefreshWorkspace();
    coordinator.retryRepairFromScratch();
    coordinator.submitSecret(u"x"_s);
    EXPECT_TRUE(recorder.calls.isEmpty());
}

} // namespace
} // namespace nerim
