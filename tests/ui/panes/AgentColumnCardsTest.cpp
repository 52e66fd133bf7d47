// The agent column inside the real canvas screen, at the window sizes people
// use, while the Deploy pane shows each of its cards beside the user's panes
// (two, or the full three): every pane keeps its header (name, status, close
// mark) in view, every card its title, close mark, main control and status
// line without any scrolling (a long card scrolls only its middle), and
// nothing is drawn over anything else or outside the window.
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "foundation/SerialFileWriter.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"
#include "support/voice-fakes/VoiceFakes.h"
#include "ui/deploy/DeployControls.h"
#include "ui/deploy/DeployPaneCards.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentColumnButtons.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneHeader.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/StatusPill.h"
#include "ui/panes/TranscriptView.h"
#include "ui/workspace/ProjectCanvasView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QWheelEvent>
#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using Phase = nerim::DeploySessionState::Phase;

namespace nerim::test {
namespace {

template <typename F>
bool waitFor(F condition, int timeoutMs = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void settle()
{
    for (int i = 0; i < 8; ++i)
        QApplication::processEvents();
}

// `widget`'s frame in `screen`'s coordinates.
QRect frameIn(const QWidget *widget, const QWidget *screen)
{
    return QRect(widget->mapTo(screen, QPoint(0, 0)), widget->size());
}

// The part of a deploy overlay in view, in `screen`'s coordinates: all of
// it, or the window onto a card that scrolls.
QRect shownCard(const QWidget *overlay)
{
    const QWidget *screen = overlay->window();
    const QRect frame = frameIn(overlay, screen);
    return overlay->mask().isEmpty() ? frame : overlay->mask().boundingRect().translated(frame.topLeft());
}

// Turns the wheel by `notches` (down when negative) over the middle of the
// card's part in view, as the column receives it from there (Qt hands a real
// wheel event that a child leaves to its parent; a sent one it does not).
void turnWheelOverCard(QWidget *column, QWidget *overlay, int notches)
{
    const QPointF at = QPointF(column->mapFrom(overlay->window(), shownCard(overlay).center()));
    QWheelEvent event(at, column->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(column, &event);
}

// The canvas of a maximised window on a screen of `screen`: the title bar
// and the menu bar take about 50 points of its height.
QSize canvasOnScreen(QSize screen) { return screen - QSize(0, 50); }

class AgentColumnCardsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        MotionPreferences::shared().setReduceMotion(true);
        project = makeTempDir(u"project"_s);
        tools = makeTempDir(u"tools"_s);
        QDir().mkpath(tools + u"/node_modules/.bin"_s);
        for (const char *tool : {"vercel", "railway", "supabase"}) {
            const QString path = tools + u"/node_modules/.bin/"_s + QLatin1String(tool);
            writeFile(path, "#!/bin/sh\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
        // Variables for the checklist, one row each: more than a short window
        // holds.
        QByteArray env = "DATABASE_URL=postgres://x\nSTRIPE_SECRET_KEY=sk\nNEXT_PUBLIC_SITE_URL=https://x\n";
        for (int i = 1; i <= 9; ++i)
            env += "SETTING_NUMBER_" + QByteArray::number(i) + "=value\n";
        writeFile(project + u"/.env"_s, env);
        provider = std::make_shared<FakeAgentProvider>();
    }

    void TearDown() override
    {
        screen.reset();
        waitFor([this] { return !controller; });
        SerialFileWriter::shared().flush();
    }

    // The canvas screen at `size` with two agents and a Deploy pane waiting
    // for a token.
    void openWithDeployPane(QSize size, int panes = 3)
    {
        auto factory = [this](const QString &id, const QString &path, const QString &name) {
            CanvasServices services;
            services.soundCues = &feedback.soundService;
            services.narrator = &feedback.narrator;
            services.haptics = &feedback.haptics;
            services.activity = &feedback.activity;
            services.deployToolsFolder = tools;
            auto made = std::make_shared<ProjectCanvasViewModel>(id, path, name, provider, nullptr, services);
            controller = made.get();
            return made;
        };
        screen = std::make_unique<ProjectCanvasView>(u"project-id"_s, QUrl::fromLocalFile(project), u"Recipe Box"_s,
                                                     nullptr, [] {}, factory);
        screen->setAttribute(Qt::WA_DontShowOnScreen);
        screen->resize(size);
        screen->show();
        ASSERT_TRUE(waitFor([this] { return screen->phase() == ProjectCanvasView::Phase::ready; }));
        ProjectCanvasViewModel *canvas = screen->canvas();
        for (int p = 1; p < panes; ++p)
            if (AgentPaneState *pane = canvas->spawnPane(u"Part %1"_s.arg(p), AgentRole::unspecified))
                for (int i = 0; i < 12; ++i)
                    pane->appendLine(OutputLine::Kind::stdout, u"Line %1 of the agent's answer."_s.arg(i + 1));
        provider->enqueue(FakeAgentProvider::running(
            {AgentOutput::stdoutLine(u"[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | Nerim needs it to publish"_s)}));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
        ASSERT_TRUE(waitFor([canvas] { return canvas->deploySession().state().phase().kind() == Phase::Kind::awaitingToken; }));
        ASSERT_EQ(canvas->panes().size(), panes);
        settle();
    }

    // Every pane's header lies inside its pane, the pane inside the column's
    // frame on screen, no pane or card overlaps another, and the pane that
    // carries a card keeps room for a line of its transcript.
    void expectHeadersInView(const char *card)
    {
        SCOPED_TRACE(card);
        ProjectCanvasViewModel *canvas = screen->canvas();
        AgentColumnView *column = screen->agentColumn();
        const QRect window = screen->rect();
        const QRect columnFrame = frameIn(column, screen.get());
        EXPECT_TRUE(window.contains(columnFrame)) << "column " << columnFrame.y() << "+" << columnFrame.height();
        QList<QRect> taken;
        for (AgentPaneState *pane : canvas->panes()) {
            SCOPED_TRACE(pane->agentName().toStdString());
            AgentPaneView *view = column->paneView(pane->id());
            ASSERT_NE(view, nullptr);
            ASSERT_TRUE(view->isVisible());
            const QRect paneFrame = frameIn(view, screen.get());
            QWidget *name = pane->isSystemPane() ? view->findChild<QWidget *>(u"systemName"_s)
                                                 : view->findChild<QWidget *>(u"nameLabel"_s);
            ASSERT_NE(name, nullptr);
            // The header is not squeezed: it has the height its rows ask for.
            QWidget *header = name->parentWidget();
            EXPECT_GE(header->height(), header->sizeHint().height());
            EXPECT_TRUE(paneFrame.contains(frameIn(header, screen.get())));
            for (QWidget *part : {name, static_cast<QWidget *>(view->statusPill()),
                                  static_cast<QWidget *>(view->closeButton())}) {
                EXPECT_TRUE(part->isVisible()) << part->objectName().toStdString();
                const QRect partFrame = frameIn(part, screen.get());
                EXPECT_FALSE(partFrame.isEmpty()) << part->objectName().toStdString();
                EXPECT_TRUE(paneFrame.contains(partFrame))
                    << part->objectName().toStdString() << " at " << partFrame.y() << "+" << partFrame.height()
                    << " in a pane at " << paneFrame.y() << "+" << paneFrame.height();
                EXPECT_TRUE(window.contains(partFrame)) << part->objectName().toStdString();
                EXPECT_TRUE(columnFrame.contains(partFrame)) << part->objectName().toStdString();
            }
            taken.append(paneFrame);
            if (QWidget *overlay = column->deployOverlay(pane->id()); overlay && overlay->isVisible()) {
                const QRect shown = shownCard(overlay);
                // A card gives up only its scrolling middle, never below its least.
                auto *deployOverlay = qobject_cast<DeployPaneOverlay *>(overlay);
                ASSERT_NE(deployOverlay, nullptr);
                EXPECT_GE(overlay->height(), deployOverlay->leastHeightForWidth(overlay->width()))
                    << "the card is squeezed";
                EXPECT_TRUE(columnFrame.contains(shown));
                EXPECT_GT(shown.height(), 0);
                taken.append(shown);
                // Below the header: the divider and at least one line, unless
                // the card needed that room to keep its least.
                const QRect transcript = frameIn(view->transcript(), screen.get());
                if (overlay->mask().isEmpty() && overlay->height() > deployOverlay->leastHeightForWidth(overlay->width())) {
                    EXPECT_GE(transcript.height(), view->fontMetrics().height())
                        << "the transcript keeps " << transcript.height() << " points";
                }
            }
        }
        for (int i = 0; i < taken.size(); ++i)
            for (int j = i + 1; j < taken.size(); ++j)
                EXPECT_FALSE(taken[i].intersects(taken[j])) << "frames " << i << " and " << j << " overlap";
        // The spawn button stays under the panes and on screen.
        const QRect button = frameIn(column->spawnButton(), screen.get());
        EXPECT_TRUE(window.contains(button));
        for (const QRect &frame : std::as_const(taken))
            EXPECT_FALSE(frame.intersects(button));
    }

    // The card's title (or the agent's reason), its close mark when it has
    // one, its main control and its status line lie whole in the window, in
    // the card, and the card is not scrolled: it has at least its least
    // height. A scrolling middle shows its first row whole.
    void expectCardWholeInView(const char *cardName, QWidget *overlay, bool closable)
    {
        SCOPED_TRACE(cardName);
        auto *deployOverlay = qobject_cast<DeployPaneOverlay *>(overlay);
        ASSERT_NE(deployOverlay, nullptr);
        DeployCard *card = deployOverlay->card();
        ASSERT_NE(card, nullptr);
        EXPECT_TRUE(overlay->mask().isEmpty()) << "the card scrolls as a whole";
        EXPECT_GE(overlay->height(), deployOverlay->leastHeightForWidth(overlay->width()));
        QList<QWidget *> parts{card->leadLabel()};
        if (card->titleLabel())
            parts.append(card->titleLabel());
        if (card->field())
            parts.append(card->field());
        if (card->primaryButton())
            parts.append(card->primaryButton());
        if (auto *verify = qobject_cast<DomainVerifyCard *>(card))
            parts.append(verify->checkingLabel());
        ASSERT_NE(card->closeButton(), nullptr);
        EXPECT_EQ(card->closeButton()->isVisible(), closable);
        if (closable)
            parts.append(card->closeButton());
        const QRect shown = shownCard(overlay);
        for (QWidget *part : parts) {
            ASSERT_NE(part, nullptr);
            const std::string name = part->objectName().toStdString();
            EXPECT_TRUE(part->isVisible()) << name;
            const QRect frame = frameIn(part, screen.get());
            EXPECT_TRUE(shown.contains(frame)) << name << " at " << frame.y() << "+" << frame.height()
                                               << " with the card in view at " << shown.y() << "+" << shown.height();
            EXPECT_TRUE(screen->rect().contains(frame)) << name;
            // A wrapped text has the height of all its lines.
            if (part->hasHeightForWidth()) {
                EXPECT_GE(part->height(), part->heightForWidth(part->width())) << name;
            }
        }
        // The middle that scrolls shows whole rows, its first at least, never
        // a part of one.
        if (QScrollArea *body = card->body(); body && body->isVisible() && body->verticalScrollBar()->value() == 0) {
            QLayout *rows = body->widget()->layout();
            ASSERT_GT(rows->count(), 0);
            const QRect viewport(body->viewport()->mapTo(screen.get(), QPoint(0, 0)), body->viewport()->size());
            for (int i = 0; i < rows->count(); ++i) {
                const QRect row =
                    rows->itemAt(i)->geometry().translated(body->widget()->mapTo(screen.get(), QPoint(0, 0)));
                if (i == 0 || viewport.intersects(row)) {
                    EXPECT_TRUE(viewport.contains(row)) << "row " << i << " at " << row.y() << "+" << row.height()
                                                        << " in a middle at " << viewport.y() << "+" << viewport.height();
                }
            }
        }
    }

    QString project;
    QString tools;
    std::shared_ptr<FakeAgentProvider> provider;
    RecordedFeedback feedback;
    std::unique_ptr<ProjectCanvasView> screen;
    QPointer<ProjectCanvasViewModel> controller;
};

// A window size and how many panes the column holds, the Deploy pane included.
struct ColumnCase {
    QSize screen;
    int panes;
};

class AgentColumnCardsAtWindowSize : public AgentColumnCardsTest, public ::testing::WithParamInterface<ColumnCase> {};

TEST_P(AgentColumnCardsAtWindowSize, EveryCardShowsItsTitleCloseMarkMainControlAndStatusWithoutScrolling)
{
    const QSize screenSize = GetParam().screen;
    openWithDeployPane(canvasOnScreen(screenSize), GetParam().panes);
    ProjectCanvasViewModel *canvas = screen->canvas();
    AgentColumnView *column = screen->agentColumn();
    // The counter counts the user's agents, not the Deploy pane beside them.
    EXPECT_FALSE(column->spawnButton()->isEnabled());
    EXPECT_EQ(column->spawnButton()->look().counter, u"%1 / 3"_s.arg(GetParam().panes - 1));

    const DeploySessionState::TerminalSnapshot live{u"https://recipe-box.vercel.app"_s, std::nullopt};
    const QList<DomainRecord> records{
        {u"A"_s, u"@"_s, u"76.76.21.21"_s, std::nullopt},
        {u"CNAME"_s, u"www"_s, u"cname.vercel-dns.com"_s, std::nullopt},
    };
    QList<DomainRecord> manyRecords = records;
    for (int i = 1; i <= 8; ++i)
        manyRecords.append({u"TXT"_s, u"_verify%1"_s.arg(i), u"vc-domain-verify=recipes.example.com,%1"_s.arg(i), 60});
    const struct {
        const char *name;
        Phase phase;
        bool closable;
    } cases[] = {
        {"token", Phase::awaitingToken(u"VERCEL_TOKEN"_s, u"Nerim needs it to publish"_s, DeployProvider::vercel), true},
        {"secret", Phase::awaitingSecret(u"STRIPE_SECRET_KEY"_s, u"The checkout page charges cards with it"_s), true},
        {"env-var checklist of many rows", Phase::envVarChecklist(DeployProvider::vercel), false},
        {"domain input", Phase::customDomainInput(live), true},
        {"DNS check before the records", Phase::customDomainVerifying(live, u"recipes.example.com"_s, {}, 30), true},
        {"DNS check", Phase::customDomainVerifying(live, u"recipes.example.com"_s, records, 29), true},
        {"DNS check with many records", Phase::customDomainVerifying(live, u"recipes.example.com"_s, manyRecords, 12),
         true},
    };
    for (const auto &item : cases) {
        canvas->deploySession().state().setPhase(item.phase);
        settle();
        QWidget *overlay = column->deployOverlay(*canvas->deploySession().state().deployPaneID());
        ASSERT_NE(overlay, nullptr);
        ASSERT_TRUE(overlay->isVisible()) << item.name;
        expectHeadersInView(item.name);
        expectCardWholeInView(item.name, overlay, item.closable);
    }

    // The env vars of the live deploy, from the Live menu: the checklist
    // with its close mark.
    canvas->deploySession().state().setPhase(Phase::live(live.frontendURL, std::nullopt));
    ASSERT_TRUE(canvas->deploySession().openEnvVarChecklist());
    ASSERT_TRUE(waitFor([canvas] { return canvas->deploySession().checklistFromLive(); }));
    settle();
    QWidget *overlay = column->deployOverlay(*canvas->deploySession().state().deployPaneID());
    ASSERT_NE(overlay, nullptr);
    expectHeadersInView("env vars from the Live menu");
    expectCardWholeInView("env vars from the Live menu", overlay, true);

    // Without a card the panes share the column's resting height again.
    canvas->deploySession().state().setPhase(Phase::buildingFrontend(DeployProvider::vercel));
    settle();
    if (GetParam().panes <= 3) {
        EXPECT_EQ(column->sizeHint(), QSize(AgentColumnLook::columnWidth + 2 * AgentColumnView::shadowMarginSide,
                                            AgentColumnLook::paneAreaHeight + AgentColumnLook::spacing +
                                                column->spawnButton()->sizeHint().height() +
                                                AgentColumnView::shadowMarginTop + AgentColumnView::shadowMarginBottom));
    }
    expectHeadersInView("no card");
}

// A card whose least height is more than the window has room for (the
// agent's reason for a token, pages long) beside three other panes: the
// headers stay, the card shows what fits and scrolls as a whole, by the
// wheel and as the keyboard moves through it.
TEST_F(AgentColumnCardsTest, ACardTallerThanTheWindowScrollsUnderTheHeadersThatStay)
{
    openWithDeployPane(canvasOnScreen(QSize(1280, 800)), 4);
    ProjectCanvasViewModel *canvas = screen->canvas();
    QString reason;
    for (int i = 1; i <= 40; ++i)
        reason += u"Sentence %1 of why Nerim needs the token. "_s.arg(i);
    canvas->deploySession().state().setPhase(Phase::awaitingToken(u"VERCEL_TOKEN"_s, reason, DeployProvider::vercel));
    settle();
    expectHeadersInView("a long reason");

    auto *overlay = qobject_cast<DeployPaneOverlay *>(
        screen->agentColumn()->deployOverlay(*canvas->deploySession().state().deployPaneID()));
    ASSERT_NE(overlay, nullptr);
    ASSERT_NE(overlay->card(), nullptr);
    ASSERT_FALSE(overlay->mask().isEmpty());
    const auto inView = [&](QWidget *widget) { return shownCard(overlay).contains(frameIn(widget, screen.get())); };
    QWidget *submit = overlay->card()->primaryButton();
    EXPECT_TRUE(inView(overlay->card()->closeButton()));
    EXPECT_FALSE(inView(submit));

    // The wheel over the card scrolls it to its end and no further.
    for (int i = 0; i < 80; ++i)
        turnWheelOverCard(screen->agentColumn(), overlay, -1);
    settle();
    EXPECT_TRUE(inView(submit));
    EXPECT_FALSE(inView(overlay->card()->closeButton()));
    expectHeadersInView("scrolled to the end");

    // Back up by the wheel, then the keyboard on the field brings it into view.
    for (int i = 0; i < 80; ++i)
        turnWheelOverCard(screen->agentColumn(), overlay, 1);
    settle();
    EXPECT_TRUE(inView(overlay->card()->closeButton()));
    QApplication::setActiveWindow(screen.get());
    overlay->card()->field()->setFocus(Qt::TabFocusReason);
    settle();
    EXPECT_TRUE(inView(overlay->card()->field()));
    expectHeadersInView("focus on the field");
}

// Escape anywhere in a card that has a close mark does what the mark does
// (the controller's step closing), ahead of the window's own Escape, which
// folds an expanded pane; elsewhere Escape still folds it.
TEST_F(AgentColumnCardsTest, EscapeInACardDoesWhatItsCloseMarkDoes)
{
    openWithDeployPane(canvasOnScreen(QSize(1280, 800)), 4);
    ProjectCanvasViewModel *canvas = screen->canvas();
    const QUuid deployPane = *canvas->deploySession().state().deployPaneID();
    QApplication::setActiveWindow(screen.get());
    canvas->toggleExpandedPane(deployPane);
    settle();
    ASSERT_EQ(canvas->expandedPaneId(), deployPane);
    auto *overlay = qobject_cast<DeployPaneOverlay *>(screen->agentColumn()->deployOverlay(deployPane));
    ASSERT_NE(overlay, nullptr);
    const DeploySessionState::TerminalSnapshot live{u"https://recipe-box.vercel.app"_s, std::nullopt};
    const auto escapeIn = [](QWidget *widget) {
        widget->setFocus(Qt::TabFocusReason);
        QTest::keyClick(widget, Qt::Key_Escape);
    };

    // The domain cards go back to the live deploy.
    canvas->deploySession().state().setPhase(Phase::customDomainInput(live));
    settle();
    ASSERT_NE(overlay->card(), nullptr);
    escapeIn(overlay->card()->field());
    EXPECT_TRUE(waitFor([canvas] { return canvas->deploySession().state().phase().kind() == Phase::Kind::live; }));
    EXPECT_EQ(canvas->expandedPaneId(), deployPane) << "the window's Escape took the key";
    // The verify card that follows the typed domain takes the keyboard over
    // from the input card, so Escape still reaches a card.
    canvas->deploySession().state().setPhase(Phase::customDomainInput(live));
    settle();
    ASSERT_NE(overlay->card(), nullptr);
    overlay->card()->field()->setFocus(Qt::TabFocusReason);
    canvas->deploySession().state().setPhase(Phase::customDomainVerifying(live, u"recipes.example.com"_s, {}, 30));
    settle();
    ASSERT_NE(overlay->card(), nullptr);
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    EXPECT_TRUE(overlay->card()->isAncestorOf(QApplication::focusWidget()) ||
                QApplication::focusWidget() == overlay->card());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_TRUE(waitFor([canvas] { return canvas->deploySession().state().phase().kind() == Phase::Kind::live; }));
    EXPECT_EQ(canvas->expandedPaneId(), deployPane);

    // The token card cancels the deploy, as its close mark does.
    canvas->deploySession().state().setPhase(Phase::awaitingToken(u"VERCEL_TOKEN"_s, u"to publish"_s, DeployProvider::vercel));
    settle();
    ASSERT_NE(overlay->card(), nullptr);
    escapeIn(overlay->card()->field());
    EXPECT_TRUE(waitFor([canvas] { return canvas->deploySession().state().phase().kind() == Phase::Kind::cancelled; }));
    EXPECT_EQ(canvas->expandedPaneId(), deployPane);

    // With no card, Escape folds the expanded pane again.
    settle();
    escapeIn(screen->agentColumn()->paneView(deployPane)->closeButton());
    EXPECT_TRUE(waitFor([canvas] { return !canvas->expandedPaneId(); }));
}

// A checklist of many variables beside the user's panes is taller than a
// 1280 × 800 window can hold: the headers stay, and so do the card's title
// and its button; the rows scroll inside the card, by the wheel and as the
// keyboard moves through them.
class AgentColumnLongChecklist : public AgentColumnCardsTest, public ::testing::WithParamInterface<int> {};

TEST_P(AgentColumnLongChecklist, KeepsItsTitleAndButtonAndScrollsItsRows)
{
    QByteArray env;
    for (int i = 1; i <= 12; ++i)
        env += "SETTING_NUMBER_" + QByteArray::number(i) + "=value\n";
    writeFile(project + u"/.env"_s, env);
    openWithDeployPane(canvasOnScreen(QSize(1280, 800)), GetParam());
    ProjectCanvasViewModel *canvas = screen->canvas();
    canvas->deploySession().state().setPhase(Phase::envVarChecklist(DeployProvider::vercel));
    settle();
    expectHeadersInView("long checklist");

    auto *overlay = qobject_cast<DeployPaneOverlay *>(
        screen->agentColumn()->deployOverlay(*canvas->deploySession().state().deployPaneID()));
    ASSERT_NE(overlay, nullptr);
    ASSERT_NE(overlay->card(), nullptr);
    expectCardWholeInView("long checklist", overlay, false);
    // The card gave up part of its rows, not its title or its button.
    EXPECT_LT(overlay->height(), overlay->heightForWidth(overlay->width()));
    const auto inView = [&](QWidget *widget) {
        const QRect frame = frameIn(widget, screen.get());
        QScrollArea *body = overlay->card()->body();
        return shownCard(overlay).contains(frame) &&
               QRect(body->viewport()->mapTo(screen.get(), QPoint(0, 0)), body->viewport()->size()).contains(frame);
    };
    auto *checklist = qobject_cast<EnvVarChecklistCard *>(overlay->card());
    ASSERT_NE(checklist, nullptr);
    QWidget *first = checklist->choice(u"SETTING_NUMBER_1"_s);
    QWidget *last = checklist->choice(u"SETTING_NUMBER_12"_s);
    ASSERT_TRUE(first && last);
    EXPECT_TRUE(inView(first));
    EXPECT_FALSE(inView(last));

    // A notch of the wheel over the rows moves them by one whole row.
    QWidget *viewport = checklist->body()->viewport();
    const auto notch = [viewport] {
        const QPointF at(viewport->width() / 2.0, viewport->height() / 2.0);
        QWheelEvent event(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &event);
    };
    notch();
    settle();
    EXPECT_FALSE(inView(first));
    EXPECT_TRUE(inView(checklist->findChild<QWidget *>(u"name:SETTING_NUMBER_2"_s)));
    EXPECT_TRUE(inView(checklist->choice(u"SETTING_NUMBER_2"_s)));

    // More scroll them to their end; title and button stay.
    for (int i = 0; i < 40; ++i)
        notch();
    settle();
    EXPECT_TRUE(inView(last));
    EXPECT_FALSE(inView(first));
    expectCardWholeInView("scrolled to the end", overlay, false);
    expectHeadersInView("scrolled to the end");

    // The keyboard on the first row brings it back into view.
    QApplication::setActiveWindow(screen.get());
    first->setFocus(Qt::TabFocusReason);
    settle();
    EXPECT_TRUE(inView(first));
    expectCardWholeInView("focus on the first row", overlay, false);
    expectHeadersInView("focus on the first row");
}

INSTANTIATE_TEST_SUITE_P(PaneCounts, AgentColumnLongChecklist, ::testing::Values(3, 4),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::to_string(info.param) + "Panes";
                         });

INSTANTIATE_TEST_SUITE_P(WindowSizes, AgentColumnCardsAtWindowSize,
                         ::testing::Values(ColumnCase{QSize(1280, 800), 4}, ColumnCase{QSize(1600, 1000), 4},
                                           ColumnCase{QSize(1280, 800), 3}),
                         [](const ::testing::TestParamInfo<ColumnCase> &info) {
                             return std::to_string(info.param.screen.width()) + "x" +
                                    std::to_string(info.param.screen.height()) + "With" +
                                    std::to_string(info.param.panes) + "Panes";
                         });

} // namespace
} // namespace nerim::test
