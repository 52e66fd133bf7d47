// The deploy widgets offscreen over a real canvas controller whose Deploy
// agent is scripted: the pill's faces and turning ring, the Live menu, the
// picker's commit and cancel, each card's answer and its way on after the
// Deploy agent has exited silently.
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "deploy/DeployConfig.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"
#include "ui/design/MotionPreferences.h"
#include "ui/deploy/DeployControls.h"
#include "ui/deploy/DeployPaneCards.h"
#include "ui/deploy/DeployPill.h"
#include "ui/deploy/DeployProviderPickerSheet.h"
#include "ui/panes/AgentColumnView.h"
#include "ui/panes/AgentPaneView.h"

#include <QApplication>
#include <QClipboard>
#include <QLayoutItem>
#include <QMenu>
#include <QScopeGuard>
#include <QWidgetAction>
#include <QDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace nerim;
using namespace nerim::test;
using Phase = DeploySessionState::Phase;

namespace {

void spin(int ms = 30)
{
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(ms);
    QEventLoop loop;
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    loop.exec();
}

class DeployWidgetsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        project = makeTempDir(QStringLiteral("project"));
        tools = makeTempDir(QStringLiteral("tools"));
        QDir().mkpath(tools + QStringLiteral("/node_modules/.bin"));
        for (const char *tool : {"vercel", "railway", "supabase"}) {
            const QString path = tools + QStringLiteral("/node_modules/.bin/") + QLatin1String(tool);
            writeFile(path, "#!/bin/sh\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        }
        provider = std::make_shared<FakeAgentProvider>();
        CanvasServices services;
        services.deployToolsFolder = tools;
        canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("id"), project, QStringLiteral("Shop"), provider,
                                                          nullptr, services);
        await(canvas->bootstrap());
    }
    void TearDown() override
    {
        await(canvas->teardown());
        canvas.reset();
        SerialFileWriter::shared().flush();
    }

    QString project;
    QString tools;
    std::shared_ptr<FakeAgentProvider> provider;
    std::unique_ptr<ProjectCanvasViewModel> canvas;

    // Starts a deploy whose first run prints `line`, then keeps running or exits.
    QUuid startDeployAt(const QString &line, Phase::Kind until, bool keepsRunning)
    {
        provider->enqueue(keepsRunning ? FakeAgentProvider::running({AgentOutput::stdoutLine(line)})
                                       : FakeAgentProvider::events({AgentOutput::stdoutLine(line)}));
        await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
        for (int i = 0; i < 100 && canvas->deploySession().state().phase().kind() != until; ++i)
            spin(5);
        EXPECT_EQ(canvas->deploySession().state().phase().kind(), until);
        return *canvas->deploySession().state().deployPaneID();
    }
    // Shows the card of `phase` on a Deploy pane `width` wide, placed as the
    // agent column places it: that width, and the height it asks for there.
    DeployCard *cardAt(QWidget &window, int width, const Phase &phase, const QStringList &envNames = {})
    {
        DeployContext context;
        context.providersInOrder = {DeployProvider::vercel};
        context.envVarNames = envNames;
        canvas->deploySession().state().setContext(context);
        const QUuid paneId = QUuid::createUuid();
        canvas->deploySession().state().setDeployPaneID(paneId);
        canvas->deploySession().state().setPhase(phase);
        auto *overlay = new DeployPaneOverlay(&canvas->deploySession(), paneId, &window);
        window.resize(width, 900);
        window.show();
        place(overlay, width);
        return overlay->card();
    }
    static void place(QWidget *overlay, int width)
    {
        for (int i = 0; i < 3; ++i) {
            overlay->setGeometry(0, 0, width, overlay->heightForWidth(width));
            spin(5);
        }
    }
    // The shown controls and texts of `card` that stick out of it, or
    // that overlap one another.
    static std::string misplaced(DeployCard *card)
    {
        QList<QWidget *> leaves;
        for (QWidget *widget : card->findChildren<QWidget *>()) {
            if (!widget->isVisibleTo(card))
                continue;
            bool leaf = true;
            for (QWidget *child : widget->findChildren<QWidget *>())
                leaf = leaf && !child->isVisibleTo(card);
            if (leaf)
                leaves.append(widget);
        }
        const auto frame = [card](QWidget *widget) { return QRect(widget->mapTo(card, QPoint(0, 0)), widget->size()); };
        const auto name = [](QWidget *widget) {
            return QStringLiteral("%1 %2").arg(QString::fromLatin1(widget->metaObject()->className()), widget->objectName());
        };
        QStringList wrong;
        for (QWidget *leaf : leaves) {
            if (!card->rect().contains(frame(leaf)))
                wrong.append(name(leaf) + QStringLiteral(" outside the card"));
            // Squeezed below what it needs (a button, the choice, a text
            // whose word does not fit) counts as cut too.
            if (leaf->width() < QWidgetItem(leaf).minimumSize().width() ||
                (leaf->hasHeightForWidth() && leaf->height() < leaf->heightForWidth(leaf->width())))
                wrong.append(name(leaf) + QStringLiteral(" squeezed"));
            for (QWidget *other : leaves)
                if (other < leaf && frame(other).intersects(frame(leaf)))
                    wrong.append(name(leaf) + QStringLiteral(" overlaps ") + name(other));
        }
        return wrong.join(QStringLiteral("; ")).toStdString();
    }
    // Waits until the Deploy pane's agent is no longer busy.
    void waitForIdleAgent()
    {
        for (int i = 0; i < 200 && canvas->deploySession().pane() && isBusy(canvas->deploySession().pane()->status()); ++i)
            spin(5);
    }
};

} // namespace


TEST_F(DeployWidgetsTest, ThePillFollowsThePhaseAndItsRingTurnsEvenWithReducedMotion)
{
    DeployPill pill(canvas.get());
    EXPECT_EQ(pill.face(), DeployLook::PillFace::hidden);
    EXPECT_EQ(pill.sizeHint(), QSize(0, 0));

    DeployConfig saved;
    saved.frontendURL = QStringLiteral("https://shop.vercel.app");
    DeployConfig::save(saved, canvas->projectURL());
    canvas->deploySession().state().setPhase(Phase::cancelled());
    EXPECT_EQ(pill.face(), DeployLook::PillFace::deployButton);
    EXPECT_EQ(pill.toolTip(), QStringLiteral("Push this project to a live URL"));

    MotionPreferences::shared().setReduceMotion(true);
    pill.show();
    canvas->deploySession().state().setPhase(Phase::buildingFrontend(DeployProvider::vercel));
    EXPECT_EQ(pill.face(), DeployLook::PillFace::inProgress);
    EXPECT_EQ(pill.text(), QStringLiteral("Building\u2026"));
    EXPECT_TRUE(pill.ringTurning());
    const qreal before = pill.ringAngle();
    for (int i = 0; i < 100 && pill.ringAngle() == before; ++i)
        spin(5);
    EXPECT_NE(pill.ringAngle(), before);
    MotionPreferences::shared().setReduceMotion(false);

    canvas->deploySession().state().setPhase(Phase::stuck(QStringLiteral("secret reason")));
    EXPECT_FALSE(pill.ringTurning());
    EXPECT_EQ(pill.text(), QStringLiteral("Deploy stuck \u2014 Try again"));
    canvas->deploySession().state().setPhase(Phase::live(QStringLiteral("https://shop.vercel.app/"), std::nullopt));
    EXPECT_EQ(pill.face(), DeployLook::PillFace::live);
    EXPECT_EQ(pill.text(), QStringLiteral("Live \u00B7 shop.vercel.app"));

    // The Live menu: three headed sections, built afresh when it opens.
    buildLiveMenu(pill.liveMenu(), canvas.get());
    QStringList entries;
    for (QAction *action : pill.liveMenu()->actions())
        if (!action->isSeparator())
            entries.append((qobject_cast<QWidgetAction *>(action) ? QStringLiteral("# ") : QString()) + action->text());
    EXPECT_EQ(entries, (QStringList{QStringLiteral("# Actions"), QStringLiteral("Open live URL"),
                                    QStringLiteral("Copy URL"), QStringLiteral("Redeploy"),
                                    QStringLiteral("View deploy transcript"), QStringLiteral("# Env & domain"),
                                    QStringLiteral("Env vars"), QStringLiteral("Add custom domain"),
                                    QStringLiteral("Also deploy when I push to main"), QStringLiteral("# Danger zone"),
                                    QStringLiteral("Roll back \u2014 no earlier deploys yet"),
                                    QStringLiteral("Unpin (hide Live pill)")}));
}

TEST_F(DeployWidgetsTest, PickerShowsTheOrderAndCommitsAnyNonEmptySet)
{
    DeployConfig saved;
    saved.frontendURL = QStringLiteral("https://shop.vercel.app");
    DeployConfig::save(saved, canvas->projectURL());
    DeployPill pill(canvas.get());
    QPointer<DeployProviderPickerSheet> opened;

    // The seed reads package.json off the window's thread: a pipe there is
    // not waited on, and a second click meanwhile opens no second sheet.
    ASSERT_EQ(::mkfifo(QFile::encodeName(project + QStringLiteral("/package.json")).constData(), 0600), 0);
    const auto openSheet = [&] {
        opened = nullptr;
        pill.activate();
        pill.activate();
        for (int i = 0; i < 400 && !opened; ++i)
            spin(5);
    };
    int sheets = 0;
    pill.setPickerFactory([&opened, &sheets](const QSet<DeployProvider> &seed, QWidget *parent) {
        ++sheets;
        opened = new DeployProviderPickerSheet(seed, parent);
        return opened.data();
    });

    // Cancel hands over nothing and starts nothing.
    openSheet();
    ASSERT_TRUE(opened);
    EXPECT_EQ(sheets, 1);
    EXPECT_TRUE(opened->isVisible()); // opened window-modally, not run in a loop of its own
    EXPECT_EQ(opened->checked(), QSet<DeployProvider>{DeployProvider::vercel});
    EXPECT_EQ(opened->orderHintLabel()->text(), QStringLiteral("Deploy to Vercel."));
    EXPECT_EQ(opened->commitButton()->text(), QStringLiteral("Deploy to Vercel"));
    QTest::keyClick(opened, Qt::Key_Escape);
    EXPECT_FALSE(pill.showingPicker());
    spin(20);
    EXPECT_TRUE(provider->spawnCalls().isEmpty());

    // Supabase alone is a valid choice; an empty set cannot be committed.
    openSheet();
    ASSERT_TRUE(opened);
    opened->row(DeployProvider::vercel)->click();
    EXPECT_EQ(opened->orderHintLabel()->text(), QStringLiteral("Pick at least one destination."));
    EXPECT_EQ(opened->commitButton()->text(), QStringLiteral("Deploy"));
    EXPECT_FALSE(opened->commitButton()->isEnabled());
    QTest::keyClick(opened, Qt::Key_Return);
    EXPECT_TRUE(pill.showingPicker());
    opened->row(DeployProvider::supabase)->click();
    EXPECT_TRUE(opened->commitButton()->isEnabled());
    opened->row(DeployProvider::vercel)->click();
    opened->row(DeployProvider::railway)->click();
    EXPECT_EQ(opened->orderHintLabel()->text(), QStringLiteral("Deploy in this order: Supabase \u2192 Railway \u2192 Vercel."));
    EXPECT_EQ(opened->commitButton()->text(), QStringLiteral("Deploy to 3 services"));
    opened->row(DeployProvider::vercel)->click();
    provider->enqueue(FakeAgentProvider::running());
    QTest::keyClick(opened, Qt::Key_Return);
    QTest::keyClick(opened, Qt::Key_Return);
    // The start reads the project's files on a worker thread: wait up to 10 s.
    for (int i = 0; i < 2000 && provider->spawnCalls().isEmpty(); ++i)
        spin(5);
    spin(100); // a second start must not come
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    ASSERT_TRUE(canvas->deploySession().state().context());
    EXPECT_EQ(canvas->deploySession().state().context()->providersInOrder,
              (QList<DeployProvider>{DeployProvider::supabase, DeployProvider::railway}));
}

TEST_F(DeployWidgetsTest, TheTokenCardSendsTheTrimmedPasteOnceAndItsCloseMarkCancels)
{
    const QUuid paneId = startDeployAt(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to publish"),
                                       Phase::Kind::awaitingToken, false);
    QWidget window;
    auto *overlay = new DeployPaneOverlay(&canvas->deploySession(), paneId, &window);
    auto *elsewhere = new DeployPaneOverlay(&canvas->deploySession(), QUuid::createUuid(), &window);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_NE(overlay->card(), nullptr);
    EXPECT_EQ(elsewhere->card(), nullptr);
    auto *card = qobject_cast<PasteCard *>(overlay->card());
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->nameLabel()->text(), QStringLiteral("VERCEL_TOKEN="));
    EXPECT_EQ(card->leadLabel()->text(), QStringLiteral("to publish"));
    EXPECT_EQ(card->field()->placeholderText(), QString());
    EXPECT_EQ(card->primaryButton()->text(), QStringLiteral("Submit"));
    EXPECT_FALSE(card->primaryButton()->isEnabled());
    EXPECT_EQ(card->closeButton()->toolTip(), QStringLiteral("Cancel the deploy. You can retry once you have the token."));

    // A second token request updates the same card; the draft stays.
    card->field()->setText(QStringLiteral(" draft-token-value  "));
    canvas->deploySession().state().setPhase(Phase::awaitingToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("again"),
                                                        DeployProvider::vercel));
    EXPECT_EQ(overlay->card(), card);
    EXPECT_EQ(card->field()->text(), QStringLiteral(" draft-token-value  "));

    // Return twice: one submission, the field emptied before it goes, the
    // white space around the paste gone.
    waitForIdleAgent();
    provider->enqueue(FakeAgentProvider::running());
    card->field()->setFocus();
    QTest::keyClick(card->field(), Qt::Key_Return);
    QTest::keyClick(card->field(), Qt::Key_Return);
    EXPECT_TRUE(card->field()->text().isEmpty());
    for (int i = 0; i < 2000 && provider->spawnCalls().size() < 2; ++i)
        spin(5);
    spin(100); // a second submission must not come
    EXPECT_EQ(provider->spawnCalls().size(), 2);
    EXPECT_EQ(provider->spawnCalls().last().extras.environment.value(QStringLiteral("VERCEL_TOKEN")),
              QStringLiteral("draft-token-value"));
    EXPECT_EQ(canvas->deploySession().state().phase().kind(), Phase::Kind::authenticating);

    // A secret card's close mark has no help; it cancels the deploy.
    canvas->deploySession().state().setPhase(Phase::awaitingSecret(QStringLiteral("STRIPE_KEY"), QString()));
    ASSERT_NE(overlay->card(), nullptr);
    EXPECT_EQ(overlay->card()->kind(), DeployLook::CardKind::secret);
    EXPECT_TRUE(overlay->card()->field()->text().isEmpty());
    EXPECT_TRUE(overlay->card()->closeButton()->toolTip().isEmpty());
    overlay->card()->closeButton()->click();
    spin(50);
    EXPECT_EQ(canvas->deploySession().state().phase().kind(), Phase::Kind::cancelled);
    EXPECT_EQ(overlay->card(), nullptr);
    EXPECT_FALSE(overlay->isVisibleTo(&window));
}

TEST_F(DeployWidgetsTest, TheChecklistSendsItsChoicesAndOffersApplyAgainAfterASilentExit)
{
    writeFile(project + QStringLiteral("/.env"), "DATABASE_URL=x\nDEBUG=1\nSTRIPE_KEY=s\n");
    const QUuid paneId =
        startDeployAt(QStringLiteral("[NERIM_DEPLOY_SIGNED_IN] vercel"), Phase::Kind::envVarChecklist, true);
    QWidget window;
    auto *overlay = new DeployPaneOverlay(&canvas->deploySession(), paneId, &window);
    window.show();
    auto *card = qobject_cast<EnvVarChecklistCard *>(overlay->card());
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->titleLabel()->text(), QStringLiteral("Review env vars for Vercel"));
    EXPECT_EQ(card->primaryButton()->text(), QStringLiteral("Apply and continue"));
    ASSERT_NE(card->choice(QStringLiteral("DEBUG")), nullptr);
    EXPECT_EQ(card->choice(QStringLiteral("DEBUG"))->labels(),
              (QStringList{QStringLiteral("Send to prod"), QStringLiteral("Skip"), QStringLiteral("Use different value")}));
    card->choice(QStringLiteral("DEBUG"))->choose(QStringLiteral("skip"));
    card->choice(QStringLiteral("STRIPE_KEY"))->choose(QStringLiteral("custom"));
    EXPECT_TRUE(card->customField(QStringLiteral("STRIPE_KEY"))->isVisibleTo(card));
    EXPECT_TRUE(card->primaryButton()->isEnabled()); // an empty replacement is sent as "skip"
    EXPECT_EQ(card->resolvedDecisions(),
              (QMap<QString, QString>{{QStringLiteral("DATABASE_URL"), QStringLiteral("send")},
                                      {QStringLiteral("DEBUG"), QStringLiteral("skip")},
                                      {QStringLiteral("STRIPE_KEY"), QStringLiteral("skip")}}));
    // A typed replacement is sent as typed; switching away hides it and keeps it.
    QTest::keyClicks(card->customField(QStringLiteral("STRIPE_KEY")), QStringLiteral(" sk 1"));
    EXPECT_EQ(card->resolvedDecisions().value(QStringLiteral("STRIPE_KEY")), QStringLiteral("custom: sk 1"));
    card->choice(QStringLiteral("STRIPE_KEY"))->choose(QStringLiteral("skip"));
    EXPECT_FALSE(card->customField(QStringLiteral("STRIPE_KEY"))->isVisibleTo(card));
    EXPECT_EQ(card->resolvedDecisions().value(QStringLiteral("STRIPE_KEY")), QStringLiteral("skip"));
    card->choice(QStringLiteral("STRIPE_KEY"))->choose(QStringLiteral("custom"));
    EXPECT_EQ(card->customField(QStringLiteral("STRIPE_KEY"))->text(), QStringLiteral(" sk 1"));

    // Applied while the agent runs: the button waits for it.
    card->submit();
    spin(20);
    EXPECT_TRUE(isBusy(canvas->deploySession().pane()->status()));
    EXPECT_FALSE(card->primaryButton()->isEnabled());

    // The agent exits without confirming (and so does the run that took the
    // choices): the phase stays, and the card offers Apply again.
    provider->enqueue(FakeAgentProvider::events({}, 0));
    provider->finish(provider->sessionIds().first(), 0);
    waitForIdleAgent();
    ASSERT_EQ(provider->spawnCalls().size(), 2);
    EXPECT_TRUE(provider->spawnCalls().last().task.contains(QStringLiteral("DEBUG")));
    EXPECT_EQ(provider->spawnCalls().last().extras.environment.value(QStringLiteral("STRIPE_KEY")), QStringLiteral(" sk 1"));
    EXPECT_EQ(canvas->deploySession().state().phase().kind(), Phase::Kind::envVarChecklist);
    EXPECT_EQ(overlay->card(), card);
    EXPECT_TRUE(card->primaryButton()->isEnabled());
    provider->enqueue(FakeAgentProvider::running());
    QTest::keyClick(card, Qt::Key_Return);
    spin(50);
    EXPECT_EQ(provider->spawnCalls().size(), 3);
}

// A .env too large to read: the card says so rather than that there is none.
TEST_F(DeployWidgetsTest, TheChecklistSaysWhenTheDotEnvWasTooLargeToRead)
{
    writeFile(project + QStringLiteral("/.env"), "API_KEY=x\n" + QByteArray(2 << 20, '#'));
    const QUuid paneId =
        startDeployAt(QStringLiteral("[NERIM_DEPLOY_SIGNED_IN] vercel"), Phase::Kind::envVarChecklist, true);
    QWidget window;
    auto *overlay = new DeployPaneOverlay(&canvas->deploySession(), paneId, &window);
    window.show();
    auto *card = qobject_cast<EnvVarChecklistCard *>(overlay->card());
    ASSERT_NE(card, nullptr);
    auto *line = card->findChild<QLabel *>(QStringLiteral("emptyLine"));
    ASSERT_NE(line, nullptr);
    EXPECT_TRUE(line->isVisibleTo(card));
    EXPECT_EQ(line->text(),
              QStringLiteral("Nerim didn't read the .env file: it is larger than 1 MiB. Continuing without env vars."));
    EXPECT_EQ(card->primaryButton()->text(), QStringLiteral("Continue"));
}

TEST_F(DeployWidgetsTest, DomainCardsTakeADomainShowTheRecordsAndCloseBackToLive)
{
    canvas->deploySession().state().setDeployPaneID(QUuid::createUuid());
    const DeploySessionState::TerminalSnapshot snapshot{QStringLiteral("https://shop.vercel.app"), std::nullopt};
    canvas->deploySession().state().setPhase(Phase::customDomainInput(snapshot));
    QWidget window;
    auto *overlay = new DeployPaneOverlay(&canvas->deploySession(), *canvas->deploySession().state().deployPaneID(), &window);
    window.show();
    auto *input = qobject_cast<DomainInputCard *>(overlay->card());
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->titleLabel()->text(), QStringLiteral("Add a custom domain"));
    EXPECT_FALSE(input->primaryButton()->isEnabled());
    input->field()->setText(QStringLiteral("shop"));
    EXPECT_FALSE(input->primaryButton()->isEnabled());
    input->field()->setText(QStringLiteral("  Shop.Example.com "));
    EXPECT_TRUE(input->primaryButton()->isEnabled());
    input->closeButton()->click();
    spin(20);
    EXPECT_EQ(canvas->deploySession().state().phase(), Phase::live(snapshot.frontendURL, snapshot.backendURL));
    EXPECT_EQ(overlay->card(), nullptr);

    canvas->deploySession().state().setPhase(Phase::customDomainVerifying(
        snapshot, QStringLiteral("shop.example.com"),
        {DomainRecord{QStringLiteral("CNAME"), QStringLiteral("shop"), QStringLiteral("cname.vercel-dns.com"), 60}}, 30));
    auto *verify = qobject_cast<DomainVerifyCard *>(overlay->card());
    ASSERT_NE(verify, nullptr);
    EXPECT_EQ(verify->titleLabel()->text(), QStringLiteral("Add these DNS records at your registrar for shop.example.com"));
    EXPECT_EQ(verify->checkingLabel()->text(), QStringLiteral("Checking DNS\u2026 (30 attempts remaining)"));
    ASSERT_EQ(verify->copyButtons().size(), 1);
    EXPECT_EQ(verify->copyButtons().first()->toolTip(), QStringLiteral("Copy value"));
    verify->copyButtons().first()->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("cname.vercel-dns.com"));
    verify->closeButton()->click();
    spin(20);
    EXPECT_EQ(canvas->deploySession().state().phase().kind(), Phase::Kind::live);
}

// In the real agent column: a card opened from the Live menu on a Deploy pane
// that already has the focus gets its height (the column places its panes
// again when an overlay asks for room).
TEST_F(DeployWidgetsTest, EachLiveMenuCardGetsItsHeightInTheAgentColumnOnAFocusedDeployPane)
{
    writeFile(project + QStringLiteral("/.env"), "API_KEY=x\n");
    QWidget window;
    auto *column = new AgentColumnView(canvas.get(), &window);
    column->setDeployOverlayFactory([](ProjectCanvasViewModel *c, const QUuid &paneId, QWidget *parent) {
        auto *overlay = new DeployPaneOverlay(c ? &c->deploySession() : nullptr, paneId, parent);
        if (c)
            QObject::connect(c, &ProjectCanvasViewModel::panesChanged, overlay, &DeployPaneOverlay::refresh);
        return overlay;
    });
    window.resize(column->sizeHint() + QSize(0, 200));
    column->resize(column->sizeHint() + QSize(0, 200));
    window.show();
    const QUuid paneId =
        startDeployAt(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app"), Phase::Kind::live, false);
    waitForIdleAgent();
    canvas->focusPane(paneId);
    spin(50);
    QWidget *overlay = column->deployOverlay(paneId);
    ASSERT_NE(overlay, nullptr);
    EXPECT_EQ(overlay->height(), 0);

    QMenu menu;
    const auto choose = [&](const QString &id) {
        buildLiveMenu(&menu, canvas.get());
        for (QAction *action : menu.actions())
            if (action->objectName() == id)
                action->trigger();
        for (int i = 0; i < 100 && overlay->height() == 0; ++i)
            spin(5);
    };
    for (const QString &id : {QStringLiteral("env"), QStringLiteral("domain")}) {
        choose(id);
        auto *card = qobject_cast<DeployPaneOverlay *>(overlay)->card();
        ASSERT_NE(card, nullptr) << id.toStdString();
        EXPECT_GT(overlay->height(), 0) << id.toStdString();
        EXPECT_EQ(overlay->height(), overlay->heightForWidth(overlay->width())) << id.toStdString();
        EXPECT_GE(card->height(), card->sizeHint().height()) << id.toStdString();
        // The pane moved down under the card.
        EXPECT_EQ(column->paneView(paneId)->y(), overlay->y() + overlay->height()) << id.toStdString();
        // Back to the live deploy: the card goes and takes no room.
        canvas->deploySession().state().setPhase(Phase::live(QStringLiteral("https://shop.vercel.app"), std::nullopt));
        for (int i = 0; i < 100 && overlay->height() != 0; ++i)
            spin(5);
        EXPECT_EQ(qobject_cast<DeployPaneOverlay *>(overlay)->card(), nullptr);
    }
}

// Every card at the pane's 360 points, with long agent texts, names and
// domains: each control and text stays inside the card, none on another, and
// the checklist's last choice can be clicked. Where the pane is wider the
// checklist keeps each row on one line, its choices in one column.
TEST_F(DeployWidgetsTest, EveryCardKeepsItsControlsInsideThePaneWidth)
{
    const QString longWord = QStringLiteral("https://vercel.com/account/settings/tokens/create-a-new-token-here");
    const QString longName = QStringLiteral("NEXT_PUBLIC_SUPABASE_SERVICE_ROLE_KEY_FOR_THE_PRODUCTION_DATABASE");
    const QStringList names{QStringLiteral("API_KEY"), QStringLiteral("DATABASE_URL"),
                            QStringLiteral("NEXT_PUBLIC_SUPABASE_ANON_KEY"), longName};
    const QString domain = QStringLiteral("reallylongcompanysubdomainname.examplecompanydomainname.com");
    const DeploySessionState::TerminalSnapshot snapshot{QStringLiteral("https://shop.vercel.app"), std::nullopt};
    const QList<DomainRecord> records{
        {QStringLiteral("A"), QStringLiteral("@"), QStringLiteral("76.76.21.21"), 60},
        {QStringLiteral("TXT"), QStringLiteral("_vercel.reallylongcompanysubdomainname.examplecompanydomainname.com"),
         QStringLiteral("vc-domain-verify=reallylongcompanysubdomainname.examplecompanydomainname.com,4f1c9e2b7a3d8e6f"),
         std::nullopt}};
    const QList<std::pair<const char *, Phase>> phases{
        {"token", Phase::awaitingToken(longName, QStringLiteral("Create one at ") + longWord, DeployProvider::vercel)},
        {"short token", Phase::awaitingToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("to publish"), std::nullopt)},
        {"secret", Phase::awaitingSecret(QStringLiteral("STRIPE_SECRET_KEY"), QStringLiteral("Payments need it."))},
        {"checklist", Phase::envVarChecklist(DeployProvider::railway)},
        {"domain input", Phase::customDomainInput(snapshot)},
        {"domain verify", Phase::customDomainVerifying(snapshot, domain, records, 1)},
    };
    for (const auto &[what, phase] : phases) {
        QWidget window;
        DeployCard *card = cardAt(window, 360, phase, names);
        ASSERT_NE(card, nullptr) << what;
        EXPECT_EQ(card->width(), 360) << what;
        EXPECT_EQ(misplaced(card), "") << what;
        if (auto *checklist = qobject_cast<EnvVarChecklistCard *>(card)) {
            // "Use different value" is the last segment: a click on its end
            // picks it, and the field that comes fits too.
            DeploySegmentedChoice *choice = checklist->choice(QStringLiteral("DATABASE_URL"));
            QTest::mouseClick(choice, Qt::LeftButton, {}, QPoint(choice->width() - 6, choice->height() / 2));
            EXPECT_EQ(choice->currentTag(), QStringLiteral("custom"));
            place(card->parentWidget(), 360);
            EXPECT_TRUE(checklist->customField(QStringLiteral("DATABASE_URL"))->isVisibleTo(card));
            EXPECT_EQ(misplaced(card), "") << what;
            // The long name is shortened, and whole on hover.
            auto *label = card->findChild<DeployElidedLabel *>(QStringLiteral("name:") + longName);
            ASSERT_NE(label, nullptr);
            EXPECT_NE(label->shownText(), longName);
            EXPECT_EQ(label->toolTip(), longName);
        }
    }

    // Wide: name column, choice and field on one line; a name wider than the
    // column widens its own row only.
    QWidget window;
    auto *checklist = qobject_cast<EnvVarChecklistCard *>(cardAt(window, 760, Phase::envVarChecklist(DeployProvider::vercel),
                                                                 names.mid(0, 3)));
    ASSERT_NE(checklist, nullptr);
    checklist->choice(QStringLiteral("API_KEY"))->choose(QStringLiteral("custom"));
    place(checklist->parentWidget(), 760);
    EXPECT_EQ(misplaced(checklist), "");
    const auto left = [&](const QString &name) { return checklist->choice(name)->mapTo(checklist, QPoint(0, 0)); };
    EXPECT_EQ(left(QStringLiteral("API_KEY")).x(), left(QStringLiteral("DATABASE_URL")).x());
    EXPECT_GT(left(QStringLiteral("NEXT_PUBLIC_SUPABASE_ANON_KEY")).x(), left(QStringLiteral("API_KEY")).x());
    QWidget *field = checklist->customField(QStringLiteral("API_KEY"));
    QWidget *name = checklist->findChild<QWidget *>(QStringLiteral("name:API_KEY"));
    const int middle = checklist->choice(QStringLiteral("API_KEY"))->geometry().center().y();
    EXPECT_NEAR(name->geometry().center().y(), middle, 1);
    EXPECT_NEAR(field->geometry().center().y(), middle, 1);
}

// The checklist opened from the Live menu can be left: its close mark and
// Escape both go through the controller's cancel, which leaves the
// env-var step. The checklist of a deploy under way has neither: the deploy
// waits on it.
TEST_F(DeployWidgetsTest, TheChecklistFromTheLiveMenuClosesByItsMarkAndByEscape)
{
    writeFile(project + QStringLiteral("/.env"), "API_URL=x\nSECRET_KEY=y\n");
    QStringList logged;
    const LogSink previous = setLogSink([&logged](const QString &line) { logged.append(line); });
    const auto restore = qScopeGuard([&previous] { setLogSink(previous); });
    QWidget window;
    window.resize(360, 600);
    const QUuid paneId =
        startDeployAt(QStringLiteral("[NERIM_DEPLOY_LIVE] https://shop.vercel.app"), Phase::Kind::live, false);
    waitForIdleAgent();
    auto *overlay = new DeployPaneOverlay(&canvas->deploySession(), paneId, &window);
    overlay->resize(360, 400);
    window.show();
    QApplication::setActiveWindow(&window);

    QMenu menu;
    const auto openFromMenu = [&] {
        canvas->deploySession().state().setPhase(Phase::live(QStringLiteral("https://shop.vercel.app"), std::nullopt));
        buildLiveMenu(&menu, canvas.get());
        for (QAction *action : menu.actions())
            if (action->objectName() == QLatin1String("env"))
                action->trigger();
        for (int i = 0; i < 100 && !overlay->card(); ++i)
            spin(5);
        return qobject_cast<EnvVarChecklistCard *>(overlay->card());
    };
    const auto cancelled = [&] {
        for (int i = 0; i < 200 && canvas->deploySession().state().phase().kind() == Phase::Kind::envVarChecklist; ++i)
            spin(5);
        return canvas->deploySession().state().phase().kind() != Phase::Kind::envVarChecklist &&
               logged.filter(QStringLiteral("user cancelled session in phase")).size() > 0;
    };

    // The rows start from the choices saved at the last deploy: the value the
    // user kept local stays local when only another row is changed.
    // (The live deploy's own save of the config lands on the launcher's thread
    // first; the choice is added to what it wrote.)
    const QUrl url = QUrl::fromLocalFile(project);
    for (int i = 0; i < 400 && !(DeployConfig::loadFile(url) && DeployConfig::loadFile(url)->frontendURL); ++i)
        spin(5);
    DeployConfig saved = DeployConfig::loadFile(url).value_or(DeployConfig::empty());
    saved.envDecisions = {{QStringLiteral("SECRET_KEY"), QStringLiteral("skip")}};
    DeployConfig::save(saved, url);

    EnvVarChecklistCard *card = openFromMenu();
    ASSERT_NE(card, nullptr);
    // The saved choices are read off the window's thread once the card opens.
    for (int i = 0; i < 200 && (card->names().size() < 2 || card->resolvedDecisions().value("SECRET_KEY") != "skip"); ++i)
        spin(5);
    ASSERT_NE(card->choice(QStringLiteral("SECRET_KEY")), nullptr);
    EXPECT_EQ(card->choice(QStringLiteral("SECRET_KEY"))->currentTag(), QStringLiteral("skip"));
    EXPECT_EQ(card->choice(QStringLiteral("API_URL"))->currentTag(), QStringLiteral("send"));
    EXPECT_EQ(card->resolvedDecisions().value(QStringLiteral("SECRET_KEY")), QStringLiteral("skip"));
    ASSERT_NE(card->closeButton(), nullptr);
    EXPECT_TRUE(card->closeButton()->isVisible());
    QTest::mouseClick(card->closeButton(), Qt::LeftButton);
    EXPECT_TRUE(cancelled()) << "the close mark";
    for (int i = 0; i < 100 && overlay->card(); ++i)
        spin(5);
    EXPECT_EQ(overlay->card(), nullptr);

    logged.clear();
    card = openFromMenu();
    ASSERT_NE(card, nullptr);
    // The card holds the keyboard as it opens, so Escape reaches it.
    for (int i = 0; i < 100 && !card->isAncestorOf(QApplication::focusWidget()); ++i)
        spin(5);
    ASSERT_TRUE(card->isAncestorOf(QApplication::focusWidget()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_TRUE(cancelled()) << "Escape";

    // During a deploy: no close mark, and Escape leaves the step as it is.
    logged.clear();
    DeployCard *during = cardAt(window, 360, Phase::envVarChecklist(DeployProvider::vercel), {QStringLiteral("API_URL")});
    ASSERT_NE(during, nullptr);
    EXPECT_FALSE(during->closeButton()->isVisible());
    during->primaryButton()->setFocus();
    QTest::keyClick(during->primaryButton(), Qt::Key_Escape);
    spin(50);
    EXPECT_EQ(canvas->deploySession().state().phase().kind(), Phase::Kind::envVarChecklist);
    EXPECT_TRUE(logged.filter(QStringLiteral("user cancelled")).isEmpty());
}

// The Live menu's git toggle asks for the change and saves nothing itself: a
// change that fails leaves the toggle off and puts "Try … again" at the head
// of the menu; tried again and gone through, the toggle is on.
TEST_F(DeployWidgetsTest, TheGitToggleIsTickedOnlyOnceTheChangeWentThrough)
{
    const QString live = QStringLiteral("https://shop.vercel.app");
    provider->enqueue(FakeAgentProvider::events({AgentOutput::stdoutLine(QStringLiteral("[NERIM_DEPLOY_LIVE] ") + live)}));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    for (int i = 0; i < 400 && canvas->deploySession().state().phase() != Phase::live(live, std::nullopt); ++i)
        spin(5);
    ASSERT_EQ(canvas->deploySession().state().phase(), Phase::live(live, std::nullopt));
    waitForIdleAgent();
    DeployPill pill(canvas.get());
    const auto action = [&](const QString &id) -> QAction * {
        buildLiveMenu(pill.liveMenu(), canvas.get());
        for (QAction *candidate : pill.liveMenu()->actions())
            if (candidate->objectName() == id)
                return candidate;
        return nullptr;
    };
    const auto ticked = [&] {
        SerialFileWriter::shared().flush();
        const std::optional<DeployConfig> config = DeployConfig::loadFile(canvas->projectURL());
        return config && config->autoDeployOnPush == true;
    };

    // The change ends without a word from the agent.
    provider->enqueue(FakeAgentProvider::events({AgentOutput::stdoutLine(QStringLiteral("Linking."))}));
    QAction *push = action(QStringLiteral("push"));
    ASSERT_TRUE(push);
    EXPECT_FALSE(push->isChecked());
    push->trigger();
    EXPECT_FALSE(ticked());
    for (int i = 0; i < 400 && canvas->deploySession().state().phase().isActive(); ++i)
        spin(5);
    waitForIdleAgent();
    EXPECT_EQ(pill.face(), DeployLook::PillFace::live);
    EXPECT_FALSE(ticked());
    EXPECT_FALSE(action(QStringLiteral("push"))->isChecked());
    QAction *retry = action(QStringLiteral("retry"));
    ASSERT_TRUE(retry);
    EXPECT_EQ(pill.liveMenu()->actions().at(1), retry); // after the section's heading
    EXPECT_EQ(retry->text(), QStringLiteral("Try connecting to git again"));

    provider->enqueue(FakeAgentProvider::events(
        {AgentOutput::stdoutLine(QStringLiteral("[NERIM_DEPLOY_OPERATION_DONE] Connected to main."))}));
    retry->trigger();
    for (int i = 0; i < 400 && !ticked(); ++i)
        spin(5);
    EXPECT_TRUE(ticked());
    waitForIdleAgent();
    EXPECT_TRUE(action(QStringLiteral("push"))->isChecked());
    EXPECT_EQ(action(QStringLiteral("retry")), nullptr);
}
