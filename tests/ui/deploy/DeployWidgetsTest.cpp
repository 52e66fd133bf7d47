// The deploy widgets offscreen over a real canvas controller whose Deploy
// agent is scripted: the pill's faces, the card kept per case, the submit
// that empties the field first and sends once, the picker's commit.
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "canvas/ProjectCanvasViewModel.h"
#include "foundation/SerialFileWriter.h"
#include "support/fake-agent-provider/FakeAgentProvider.h"
#include "ui/deploy/DeployPaneCards.h"
#include "ui/deploy/DeployPill.h"
#include "ui/deploy/DeployProviderPickerSheet.h"

#include <QApplication>
#include <QDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

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
};

} // namespace

TEST_F(DeployWidgetsTest, ThePillFollowsThePhaseAndUnlocksWithASavedDeploy)
{
    DeployPill pill(canvas.get());
    EXPECT_EQ(pill.face(), DeployLook::PillFace::hidden);
    EXPECT_EQ(pill.sizeHint(), QSize(0, 0));

    DeployConfig saved;
    saved.frontendURL = QStringLiteral("https://shop.vercel.app");
    DeployConfig::save(saved, canvas->projectURL());
    canvas->deployState().setPhase(Phase::cancelled());
    EXPECT_EQ(pill.face(), DeployLook::PillFace::deployButton);

    canvas->deployState().setPhase(Phase::buildingFrontend(DeployProvider::vercel));
    EXPECT_EQ(pill.face(), DeployLook::PillFace::inProgress);
    EXPECT_EQ(pill.text(), QStringLiteral("Building\u2026"));
    canvas->deployState().setPhase(Phase::live(QStringLiteral("https://shop.vercel.app/"), std::nullopt));
    EXPECT_EQ(pill.face(), DeployLook::PillFace::live);
    EXPECT_EQ(pill.text(), QStringLiteral("Live \u00B7 shop.vercel.app"));

    // The Live menu is built afresh when it opens, its titles escaped.
    buildLiveMenu(pill.liveMenu(), canvas.get());
    QStringList titles;
    for (QAction *action : pill.liveMenu()->actions())
        if (!action->isSeparator())
            titles.append(action->text());
    EXPECT_TRUE(titles.contains(QStringLiteral("Open live URL")));
    EXPECT_TRUE(titles.contains(QStringLiteral("Roll back \u2014 no earlier deploys yet")));
}

TEST_F(DeployWidgetsTest, PickerCommitStartsTheDeployInDeployOrder)
{
    DeployConfig saved;
    saved.frontendURL = QStringLiteral("https://shop.vercel.app");
    DeployConfig::save(saved, canvas->projectURL());
    DeployPill pill(canvas.get());
    QPointer<DeployProviderPickerSheet> opened;
    pill.setPickerFactory([&opened](const QSet<DeployProvider> &seed, QWidget *parent) {
        opened = new DeployProviderPickerSheet(seed, parent);
        return opened.data();
    });
    pill.activate();
    ASSERT_TRUE(opened);
    EXPECT_TRUE(opened->isVisible()); // opened window-modally, not run in a loop of its own
    EXPECT_TRUE(opened->checkBox(DeployProvider::vercel)->isChecked());
    opened->checkBox(DeployProvider::vercel)->setChecked(false);
    opened->checkBox(DeployProvider::supabase)->setChecked(true);
    EXPECT_FALSE(opened->commitButton()->isEnabled()); // Supabase alone hosts nothing
    opened->checkBox(DeployProvider::railway)->setChecked(true);
    provider->enqueue(FakeAgentProvider::running());
    opened->commitButton()->click();
    opened->commitButton()->click();
    spin(100);
    ASSERT_EQ(provider->spawnCalls().size(), 1);
    ASSERT_TRUE(canvas->deployState().context());
    EXPECT_EQ(canvas->deployState().context()->providersInOrder,
              (QList<DeployProvider>{DeployProvider::supabase, DeployProvider::railway}));
}

TEST_F(DeployWidgetsTest, TheTokenCardKeepsItsDraftPerCaseAndSubmitsOnceWithAnEmptiedField)
{
    provider->enqueue(FakeAgentProvider::events(
        {AgentOutput::stdoutLine(QStringLiteral("[NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to publish"))}));
    await(canvas->beginDeploy({DeployProvider::vercel}, DeployKind::fresh));
    for (int i = 0; i < 50 && canvas->deployState().phase().kind() != Phase::Kind::awaitingToken; ++i)
        spin(5);
    const QUuid paneId = *canvas->deployState().deployPaneID();
    QWidget window;
    auto *overlay = new DeployPaneOverlay(canvas.get(), paneId, &window);
    auto *elsewhere = new DeployPaneOverlay(canvas.get(), QUuid::createUuid(), &window);
    window.show();
    QApplication::setActiveWindow(&window);
    ASSERT_NE(overlay->card(), nullptr);
    EXPECT_EQ(elsewhere->card(), nullptr);
    DeployCard *card = overlay->card();
    EXPECT_EQ(card->titleLabel()->text(), QStringLiteral("Paste your Vercel token"));
    EXPECT_FALSE(card->primaryButton()->isEnabled());

    // A second token request updates the same card; the draft stays.
    card->field()->setText(QStringLiteral("draft-token-value"));
    canvas->deployState().setPhase(Phase::awaitingToken(QStringLiteral("VERCEL_TOKEN"), QStringLiteral("again"),
                                                        DeployProvider::vercel));
    EXPECT_EQ(overlay->card(), card);
    EXPECT_EQ(card->field()->text(), QStringLiteral("draft-token-value"));

    // Return twice: one submission, the field emptied before it goes.
    provider->enqueue(FakeAgentProvider::running());
    card->field()->setFocus();
    QTest::keyClick(card->field(), Qt::Key_Return);
    QTest::keyClick(card->field(), Qt::Key_Return);
    EXPECT_TRUE(card->field()->text().isEmpty());
    spin(100);
    EXPECT_EQ(provider->spawnCalls().size(), 2);
    EXPECT_EQ(provider->spawnCalls().last().extras.environment.value(QStringLiteral("VERCEL_TOKEN")),
              QStringLiteral("draft-token-value"));

    // Another kind of card replaces it, starting empty.
    canvas->deployState().setPhase(Phase::awaitingSecret(QStringLiteral("STRIPE_KEY"), QString()));
    ASSERT_NE(overlay->card(), nullptr);
    EXPECT_EQ(overlay->card()->kind(), DeployLook::CardKind::secret);
    EXPECT_TRUE(overlay->card()->field()->text().isEmpty());
    canvas->deployState().setPhase(Phase::buildingFrontend(DeployProvider::vercel));
    EXPECT_EQ(overlay->card(), nullptr);
    EXPECT_FALSE(overlay->isVisibleTo(&window));
}
