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
#include "ui/panels/PreviewPanelView.h"
#include "ui/panels/PreviewStatusStrip.h"
#include "ui/workspace/CanvasPanelWiring.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QAbstractButton>
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
    PreviewPanelView panel(&canvas.preview(), &canvas.repairState(), CanvasPanelWiring::repairBannerCoordinator(weak),
                           plainPage);
    const auto renew = [&] { panel.setRepairCoordinator(CanvasPanelWiring::repairBannerCoordinator(weak)); };
    QObject::connect(&canvas, &ProjectCanvasViewModel::lastLaunchAttemptDetectionErrorChanged, &panel, renew);
    QObject::connect(&canvas.repairState(), &RepairSessionState::phaseChanged, &panel, renew);
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
    ASSERT_TRUE(waitUntil([&] { return canvas.repairState().phase() == Phase::repairing(1); }));
    EXPECT_NE(canvas.repairPane(), nullptr);
    EXPECT_EQ(panel.findChild<QWidget *>(QStringLiteral("errorRow")), nullptr);
    ASSERT_NE(panel.findChild<QWidget *>(QStringLiteral("progressRow")), nullptr);

    QTest::mouseClick(panel.findChild<QAbstractButton *>(QStringLiteral("cancelRepairButton")), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return canvas.repairState().phase() == Phase::cancelled(); }));
    EXPECT_NE(panel.findChild<QWidget *>(QStringLiteral("errorRow")), nullptr);
    EXPECT_NE(panel.findChild<QWidget *>(QStringLiteral("askButton")), nullptr);
}

// ---- In the canvas screen ------------------------------------------------------------

// A failed start's summary and hint in the banner of the preview beside the
// agent column, in a maximised window of 1280 × 800 and 1600 × 1000 (the
// title bar and menu bar take about 50 points), with and without the Plans
// panel: every line drawn has its room, and the whole text is shown, or is
// in the tooltip and unfolds on a click.
class PreviewBannerInCanvasTest : public CanvasTest, public ::testing::WithParamInterface<QSize> {};

TEST_P(PreviewBannerInCanvasTest, TheWholeFailureIsShownOrWithinReach)
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
    canvas->preview().setVisible(true);

    const QStringList failures{QStringLiteral("Error: Cannot find module 'express'"),
                               QStringLiteral("Missing required environment variable: STRIPE_WEBHOOK_SIGNING_SECRET")};
    int cut = 0;
    for (const bool plans : {false, true}) {
        if (canvas->plan().isVisible() != plans)
            canvas->plan().toggleVisibility();
        for (const QString &line : failures) {
            const std::optional<DetectedFailure> failure = DevServerRunner::classifyFailureLine(line);
            ASSERT_TRUE(failure && failure->hint);
            // As the canvas writes a failed start into the preview.
            const QString text = failure->summary + QStringLiteral("  ") + *failure->hint;
            SCOPED_TRACE(text.toStdString() + (plans ? " beside the Plans panel" : ""));
            canvas->preview().setError(text);
            for (int i = 0; i < 8; ++i)
                QApplication::processEvents();
            auto *label = screen.findChild<PreviewBannerText *>(QStringLiteral("bannerText"));
            ASSERT_NE(label, nullptr);
            ASSERT_TRUE(label->isVisible());
            EXPECT_EQ(label->text(), text);
            const QRect frame(label->mapTo(&screen, QPoint(0, 0)), label->size());
            EXPECT_TRUE(screen.rect().contains(frame));
            EXPECT_TRUE(QRect(screen.previewPanel()->mapTo(&screen, QPoint(0, 0)), screen.previewPanel()->size())
                            .contains(frame));
            // No line drawn is cut: the label is as tall as its lines.
            EXPECT_GE(label->height(), label->heightForWidth(label->width()));
            // The banner joins the panel; the page area under it keeps its room.
            EXPECT_GE(screen.previewPanel()->height(), screen.previewPanel()->sizeHint().height() - 1);
            const auto shownWhole = [&] {
                return label->shownLines().join(QString()).simplified() == text.simplified();
            };
            if (label->isCut()) {
                ++cut;
                EXPECT_FALSE(shownWhole());
                EXPECT_TRUE(label->shownLines().last().endsWith(QChar(0x2026)));
                EXPECT_EQ(label->toolTip(), text);
                QTest::mouseClick(label, Qt::LeftButton);
                for (int i = 0; i < 8; ++i)
                    QApplication::processEvents();
                EXPECT_TRUE(label->isUnfolded());
                EXPECT_GE(label->height(), label->heightForWidth(label->width()));
                QTest::mouseClick(label, Qt::LeftButton);
                EXPECT_FALSE(label->isUnfolded());
            }
            label->setUnfolded(true);
            EXPECT_TRUE(shownWhole());
        }
    }
    // Beside the Plans panel on the smaller screen, the longer text is folded.
    if (GetParam().width() == 1280) {
        EXPECT_GT(cut, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(WindowSizes, PreviewBannerInCanvasTest, ::testing::Values(QSize(1280, 800), QSize(1600, 1000)),
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
