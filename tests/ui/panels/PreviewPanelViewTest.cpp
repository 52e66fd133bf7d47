// The preview panel offscreen: the address field, the secret prompt and
// literal texts over real models with a plain page in place of the web view;
// the banner over a real canvas controller with the fake agent provider; and
// one load through the real web view from a loopback server.
#include "canvas/CanvasFixture.h"
#include "launcher/DevServerRunner.h"
#include "LoopbackHttpServer.h"
#include "preview/PreviewState.h"
#include "repair/RepairSessionState.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panels/PlansPanelView.h"
#include "ui/panels/PreviewPanelView.h"
#include "ui/panels/PreviewStatusStrip.h"
#include "ui/workspace/CanvasPanelWiring.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QAbstractButton>
#include <QAbstractScrollArea>
#include <QApplication>
#include <QFontMetricsF>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <gtest/gtest.h>

#include <cmath>

using namespace nerim;
using namespace nerim::test;
using Phase = RepairSessionState::Phase;

namespace {

QWidget *plainPage(PreviewState *, QWidget *parent) { return new QWidget(parent); }

class PreviewPanelViewTest : public ::testing::Test {
protected:
    void SetUp() override { MotionPreferences::shared().setReduceMotion(true); }

    PreviewPanelView &show(std::optional<RepairBannerCoordinator> coordinator = RepairBannerCoordinator{})
    {
        panel = std::make_unique<PreviewPanelView>(&state, &repair, std::move(coordinator), plainPage);
        panel->resize(640, 400);
        panel->show();
        QApplication::setActiveWindow(panel.get());
        EXPECT_TRUE(QTest::qWaitForWindowActive(panel.get()));
        return *panel;
    }
    QLineEdit *address() const { return panel->findChild<QLineEdit *>(QStringLiteral("addressField")); }
    template <typename T = QWidget>
    T *child(const char *name) const
    {
        return panel->findChild<T *>(QLatin1String(name));
    }

    PreviewState state;
    RepairSessionState repair;
    std::unique_ptr<PreviewPanelView> panel;
};

} // namespace

TEST_F(PreviewPanelViewTest, AddressSubmitLoadsAndDropsFocusAndCommitsReplaceTyping)
{
    show();
    address()->setFocus();
    QTest::keyClicks(address(), QStringLiteral("localhost:3000"));
    EXPECT_EQ(state.addressBar(), QStringLiteral("localhost:3000"));
    QTest::keyClick(address(), Qt::Key_Return);
    EXPECT_EQ(state.pendingNavigation(),
              PreviewState::PendingNavigation::load(QUrl(QStringLiteral("http://localhost:3000"))));
    EXPECT_FALSE(address()->hasFocus());
    EXPECT_EQ(address()->text(), state.addressBar());

    // A navigation that commits while the user types replaces the text.
    address()->setFocus();
    QTest::keyClicks(address(), QStringLiteral("/typing"));
    state.setAddressBar(QStringLiteral("http://localhost:3000/redirected"));
    EXPECT_TRUE(address()->hasFocus());
    EXPECT_EQ(address()->text(), QStringLiteral("http://localhost:3000/redirected"));

    // The reload button asks for a reload while loading and while idle.
    state.setPendingNavigation(std::nullopt);
    state.setLoading(true);
    QTest::mouseClick(child<QAbstractButton>("reloadButton"), Qt::LeftButton);
    EXPECT_EQ(state.pendingNavigation(), PreviewState::PendingNavigation::reload());
    EXPECT_FALSE(child<QAbstractButton>("backButton")->isEnabled());
    EXPECT_TRUE(child("loadingSpinner")->isVisible());
    // Nothing loaded but loading: the page shows, not the empty state.
    EXPECT_FALSE(child("previewEmptyState")->isVisible());
    state.setLoading(false);
    EXPECT_TRUE(child("previewEmptyState")->isVisible());
    EXPECT_TRUE(child("previewEmptyState")->testAttribute(Qt::WA_TransparentForMouseEvents));
}

TEST_F(PreviewPanelViewTest, TheSecretFieldIsEmptyBeforeTheValueLeaves)
{
    QStringList handed;
    QString fieldWhenHanded = QStringLiteral("unset");
    RepairBannerCoordinator coordinator;
    coordinator.submitSecret = [&](const QString &value) {
        handed.append(value);
        fieldWhenHanded = panel->findChild<QLineEdit *>(QStringLiteral("secretField"))->text();
    };
    repair.setPhase(Phase::awaitingSecret(QStringLiteral("OPENAI_API_KEY"), QStringLiteral("Needed."), 2));
    show(coordinator);
    EXPECT_EQ(child<QLabel>("secretName")->text(), QStringLiteral("OPENAI_API_KEY="));
    auto *field = child<QLineEdit>("secretField");
    EXPECT_EQ(field->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(field->inputMethodHints() & Qt::ImhNoPredictiveText);
    EXPECT_FALSE(child<QAbstractButton>("secretSubmit")->isEnabled());
    // An error arriving meanwhile does not rebuild the prompt or lose the typing.
    QTest::keyClicks(field, QStringLiteral(" sk-1 "));
    state.setError(QStringLiteral("later"));
    panel->setRepairCoordinator(coordinator);
    EXPECT_EQ(child<QLineEdit>("secretField"), field);
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(handed, QStringList{QStringLiteral(" sk-1 ")});
    EXPECT_EQ(fieldWhenHanded, QString());
    EXPECT_EQ(panel->secretDraft(), QString());
    // Return on the empty field hands nothing over.
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_EQ(handed.size(), 1);
}

TEST_F(PreviewPanelViewTest, WithoutACoordinatorSubmitKeepsTheDraftAndRepairButtonsAreGone)
{
    repair.setPhase(Phase::awaitingSecret(QStringLiteral("KEY"), QStringLiteral("Needed."), 1));
    show(std::nullopt);
    EXPECT_EQ(child("cancelRepairButton"), nullptr);
    QTest::keyClicks(child<QLineEdit>("secretField"), QStringLiteral("v"));
    QTest::keyClick(child<QLineEdit>("secretField"), Qt::Key_Return);
    EXPECT_EQ(panel->secretDraft(), QStringLiteral("v"));
    // The prompt for another value starts empty: the draft went with its prompt.
    repair.setPhase(Phase::awaitingSecret(QStringLiteral("OTHER"), QStringLiteral("Needed."), 1));
    EXPECT_EQ(panel->secretDraft(), QString());
    EXPECT_EQ(child<QLineEdit>("secretField")->text(), QString());
    repair.setPhase(Phase::stuck(QStringLiteral("why")));
    EXPECT_EQ(child("tryAgainButton"), nullptr);
    EXPECT_NE(child("dismissButton"), nullptr);
}

// In a narrow panel a long error wraps onto its second line, and the row
// gives the text the height of both lines (the second is not cut off).
TEST_F(PreviewPanelViewTest, ANarrowPanelShowsTheErrorsSecondLineWhole)
{
    show();
    panel->resize(300, 400);
    state.setError(QStringLiteral("Your app crashed while starting. Run npm install, then try again."));
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    QLabel *text = child<QLabel>("bannerText");
    ASSERT_NE(text, nullptr);
    const int lineHeight = int(std::ceil(QFontMetricsF(text->font()).lineSpacing()));
    ASSERT_GT(text->heightForWidth(text->width()), lineHeight + lineHeight / 2) << "the text wraps";
    EXPECT_GE(text->height(), text->heightForWidth(text->width()));
    EXPECT_GE(text->height(), 2 * lineHeight);
}

TEST_F(PreviewPanelViewTest, ErrorsAndTitlesShowLiterally)
{
    const QString markup = QStringLiteral("<img src=x><a href=\"file:///\">x</a>");
    state.setError(markup);
    state.setTitle(markup);
    show();
    auto *text = child("errorRow")->findChild<QLabel *>(QStringLiteral("bannerText"));
    EXPECT_EQ(text->textFormat(), Qt::PlainText);
    EXPECT_EQ(text->text(), markup);
    EXPECT_EQ(child<QLabel>("previewTitle")->textFormat(), Qt::PlainText);
    EXPECT_EQ(child<QLabel>("previewTitle")->text(), markup.toUpper());
    QTest::mouseClick(child<QAbstractButton>("dismissButton"), Qt::LeftButton);
    EXPECT_EQ(state.error(), std::nullopt);
    EXPECT_EQ(child("errorRow"), nullptr);
}

// ---- Over the real controller ------------------------------------------------------------

class PreviewPanelCanvasTest : public CanvasTest {};

TEST_F(PreviewPanelCanvasTest, AFailedStartOffersARepairThatCanBeCancelled)
{
    MotionPreferences::shared().setReduceMotion(true);
    ProjectCanvasViewModel &canvas = open();
    QPointer<ProjectCanvasViewModel> weak(&canvas);
    PreviewPanelView panel(&canvas.preview(), &canvas.repairSession().state(), CanvasPanelWiring::repairBannerCoordinator(weak),
                           plainPage);
    const auto renew = [&] { panel.setRepairCoordinator(CanvasPanelWiring::repairBannerCoordinator(weak)); };
    QObject::connect(&canvas, &ProjectCanvasViewModel::lastLaunchAttemptDetectionErrorChanged, &panel, renew);
    QObject::connect(&canvas.repairSession().state(), &RepairSessionState::phaseChanged, &panel, renew);
    panel.resize(640, 400);
    panel.show();

    // The folder is empty: nothing to run, and the error row offers the repair.
    await(canvas.runApp());
    ASSERT_TRUE(canvas.preview().hasVisibleError());
    ASSERT_NE(panel.findChild<QWidget *>(QStringLiteral("errorRow")), nullptr);
    auto *ask = panel.findChild<QAbstractButton *>(QStringLiteral("askButton"));
    ASSERT_NE(ask, nullptr);

    provider->enqueue(FakeAgentProvider::running());
    QTest::mouseClick(ask, Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas.repairSession().state().phase() == Phase::repairing(1); }));
    EXPECT_NE(canvas.repairSession().pane(), nullptr);
    EXPECT_EQ(panel.findChild<QWidget *>(QStringLiteral("errorRow")), nullptr);
    ASSERT_NE(panel.findChild<QWidget *>(QStringLiteral("progressRow")), nullptr);

    QTest::mouseClick(panel.findChild<QAbstractButton *>(QStringLiteral("cancelRepairButton")), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas.repairSession().state().phase() == Phase::cancelled(); }));
    EXPECT_NE(panel.findChild<QWidget *>(QStringLiteral("errorRow")), nullptr);
    EXPECT_NE(panel.findChild<QWidget *>(QStringLiteral("askButton")), nullptr);
}

// ---- In the canvas screen ------------------------------------------------------------

// In the window at 1024 × 700, 1280 × 800 and 1600 × 1000 (the title bar
// and menu bar take about 50 points) with every panel open (a plan of long
// steps, the preview, three panes): the preview's banner shows the whole of a
// failed start (the project-type hint with "Ask Nerim to fix this", and the
// classified failures), each line within the text's own rect and clear of
// the button; the empty preview under it keeps its message whole; the Plans
// panel shows its first step whole.
class PreviewBannerInCanvasTest : public CanvasTest, public ::testing::WithParamInterface<QSize> {};

TEST_P(PreviewBannerInCanvasTest, TheWholeFailureIsShownBesideEveryPanel)
{
    MotionPreferences::shared().setReduceMotion(true);
    auto factory = [this](const QString &id, const QString &path, const QString &name) {
        auto made = std::make_shared<ProjectCanvasViewModel>(id, path, name, provider, nullptr, services());
        return made;
    };
    ProjectCanvasView screen(QStringLiteral("project-id"), QUrl::fromLocalFile(project), QStringLiteral("Recipe Box"),
                             nullptr, [] {}, factory);
    screen.setAttribute(Qt::WA_DontShowOnScreen);
    screen.resize(GetParam() - QSize(0, 50));
    screen.show();
    ASSERT_TRUE(waitUntil([&] { return screen.phase() == ProjectCanvasView::Phase::ready; }));
    ProjectCanvasViewModel *canvas = screen.canvas();
    for (int i = 0; i < 3; ++i)
        canvas->spawnPane(QString(), AgentRole::unspecified);
    QList<PlanStep> steps;
    for (const char *title : {"Set up the product catalogue page with categories, filters and a search box",
                              "Add a shopping cart that keeps its items between visits", "Build the checkout form"}) {
        PlanStep step;
        step.id = QUuid::createUuid();
        step.title = QString::fromUtf8(title);
        step.detail = QStringLiteral("Create the listing page, a category filter and a search box that filters as "
                                     "the user types, with an empty state for no results.");
        steps.append(step);
    }
    // The plan arrives while its panel is open.
    canvas->plan().setIsVisible(true);
    canvas->preview().setVisible(true);
    for (int i = 0; i < 8; ++i)
        QApplication::processEvents();
    canvas->plan().setGoal(QStringLiteral("An online shop for hand-made ceramics"));
    canvas->plan().setSteps(steps);
    // A folder with nothing to start: the canvas says so and offers the repair.
    await(canvas->runApp());
    ASSERT_TRUE(waitUntil([&] { return canvas->preview().hasVisibleError(); }));

    QStringList texts{*canvas->preview().error()};
    for (const QString &line : {QStringLiteral("Error: Cannot find module 'express'"),
                               QStringLiteral("Missing required environment variable: STRIPE_WEBHOOK_SIGNING_SECRET")}) {
        const std::optional<DetectedFailure> failure = DevServerRunner::classifyFailureLine(line);
        ASSERT_TRUE(failure && failure->hint);
        texts.append(failure->summary + QStringLiteral("  ") + *failure->hint); // as the canvas writes it
    }
    bool first = true;
    for (const QString &text : texts) {
        SCOPED_TRACE(text.toStdString());
        if (!first)
            canvas->preview().setError(text);
        first = false;
        for (int i = 0; i < 8; ++i)
            QApplication::processEvents();
        auto *label = screen.findChild<PreviewBannerText *>(QStringLiteral("bannerText"));
        ASSERT_NE(label, nullptr);
        ASSERT_TRUE(label->isVisible());
        const QRect frame(label->mapTo(&screen, QPoint(0, 0)), label->size());
        EXPECT_TRUE(QRect(screen.previewPanel()->mapTo(&screen, QPoint(0, 0)), screen.previewPanel()->size())
                        .contains(frame));
        // Whole, and every line within the text's rect.
        EXPECT_FALSE(label->isCut());
        EXPECT_EQ(label->shownLines().join(QString()).simplified(), text.simplified());
        const QFontMetricsF metrics(label->font());
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
        for (const QString &shown : label->shownLines())
            EXPECT_LE(metrics.horizontalAdvance(shown.trimmed()), label->contentsRect().width() + 0.5) << shown.toStdString();
        if (auto *ask = screen.findChild<QAbstractButton *>(QStringLiteral("askButton"))) {
            const QRect button(ask->mapTo(&screen, QPoint(0, 0)), ask->size());
            EXPECT_FALSE(button.intersects(frame));
            EXPECT_TRUE(screen.rect().contains(button));
        }
        // The empty preview under the banner keeps its message whole.
        auto *message = screen.previewPanel()->findChild<QLabel *>(QStringLiteral("previewEmptyMessage"));
        ASSERT_NE(message, nullptr);
        EXPECT_GE(message->height(), message->heightForWidth(message->width()));
    }
    EXPECT_NE(screen.findChild<QAbstractButton *>(QStringLiteral("askButton")), nullptr);

    // The Plans panel shows its first step whole, inside its scroll area.
    auto *scroll = screen.plansPanel()->findChild<QAbstractScrollArea *>(QStringLiteral("planScroll"));
    ASSERT_NE(scroll, nullptr);
    QWidget *firstRow = nullptr;
    for (QWidget *row : screen.plansPanel()->findChildren<QWidget *>(QStringLiteral("planStepRow"))) {
        if (row->findChild<QLabel *>(QStringLiteral("stepNumber"))->text() == QStringLiteral("1."))
            firstRow = row;
    }
    ASSERT_NE(firstRow, nullptr);
    const QRect rowFrame(firstRow->mapTo(scroll->viewport(), QPoint(0, 0)), firstRow->size());
    EXPECT_TRUE(scroll->viewport()->rect().contains(rowFrame))
        << rowFrame.y() << "+" << rowFrame.height() << " in " << scroll->viewport()->height();
    auto *title = firstRow->findChild<QLabel *>(QStringLiteral("stepTitle"));
    EXPECT_GE(title->height(), title->heightForWidth(title->width()));
}

INSTANTIATE_TEST_SUITE_P(WindowSizes, PreviewBannerInCanvasTest,
                         ::testing::Values(QSize(1024, 700), QSize(1280, 800), QSize(1600, 1000)),
                         [](const ::testing::TestParamInfo<QSize> &info) {
                             return std::to_string(info.param.width()) + "x" + std::to_string(info.param.height());
                         });

// ---- Over the real web view --------------------------------------------------------------

TEST(PreviewPanelWebTest, ALoopbackPageReplacesTheEmptyStateAndNamesThePanel)
{
    MotionPreferences::shared().setReduceMotion(true);
    LoopbackHttpServer server;
    LoopbackHttpServer::Reply page;
    page.headers = {{"Content-Type", "text/html; charset=utf-8"}};
    page.body = "<html><head><title>Recipe Box</title></head><body>Hello</body></html>";
    server.setDefaultReply(page);
    PreviewState state;
    RepairSessionState repair;
    PreviewPanelView panel(&state, &repair, RepairBannerCoordinator{});
    panel.resize(640, 400);
    panel.show();
    auto *empty = panel.findChild<QWidget *>(QStringLiteral("previewEmptyState"));
    EXPECT_TRUE(empty->isVisible());
    state.navigate(server.url(QStringLiteral("/")).toString());
    ASSERT_TRUE(waitUntil([&] { return state.title() == QStringLiteral("Recipe Box"); }, 30000));
    EXPECT_FALSE(empty->isVisible());
    EXPECT_EQ(panel.findChild<QLabel *>(QStringLiteral("previewTitle"))->text(), QStringLiteral("RECIPE BOX"));
}
