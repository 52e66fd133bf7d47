// The canvas and its sessions write the project's `.nerim` only through its
// door: a second Nerim changes nothing there whatever it does, the lock
// outlasts a write still running on the launcher's thread, and saves that
// fail are retried and told once.
#include "RunAppFixture.h"

#include "deploy/DeployToolInstaller.h"
#include "persistence/FileCalls.h"
#include "persistence/ProjectDataFolder.h"

#include <QCryptographicHash>
#include <QScopeGuard>
#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

using namespace nerim;
using namespace nerim::test;

namespace {

// Every entry under `folder` with a digest of its bytes.
QStringList contentsOf(const QString &folder)
{
    QStringList all;
    QStringList pending{folder};
    while (!pending.isEmpty()) {
        const QDir dir(pending.takeFirst());
        for (const QFileInfo &info :
             dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
            if (info.isDir() && !info.isSymLink()) {
                pending.append(info.filePath());
                all.append(info.filePath() + QStringLiteral("/"));
            } else {
                all.append(info.filePath() + QLatin1Char(' ') +
                           QString::fromLatin1(QCryptographicHash::hash(readFile(info.filePath()),
                                                                        QCryptographicHash::Sha256)
                                                   .toHex()));
            }
        }
    }
    return all;
}

bool projectLockIsFree(const QString &project)
{
    const int fd = ::open(QFile::encodeName(project + QStringLiteral("/.nerim")).constData(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool free = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0)
        ::close(fd);
    return free;
}

class ProjectDataDoorTest : public RepairTest {
protected:
    // The providers' tools in place, so no deploy run installs anything.
    void provideTools(CanvasServices &s)
    {
        s.deployToolsFolder = makeTempDir(QStringLiteral("deploy-tools"));
        const QString bin = DeployToolInstaller::binFolder(s.deployToolsFolder);
        QDir().mkpath(bin);
        for (const char *tool : {"vercel", "railway", "supabase"}) {
            const QString path = bin + QLatin1Char('/') + QLatin1String(tool);
            writeFile(path, "#!/bin/sh\nexit 0\n");
            QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        }
    }
};

} // namespace

// A second Nerim (another process holds the project) begins a deploy and a
// repair, types a draft and finds a damaged step record: nothing under
// `.nerim` changes, nor does the project's `.env`.
TEST_F(ProjectDataDoorTest, ASecondNerimChangesNothingInTheProject)
{
    writeFile(project + QStringLiteral("/.nerim/repair-step.json"), "{\"torn");
    writeFile(project + QStringLiteral("/.nerim/deploy-step.json"), "\0\0\0");
    writeFile(project + QStringLiteral("/.env"), "KEEP=1\n");
    // The first Nerim: a door opened as another process opens it.
    nerim::detail::shareDataFolderDoors(false);
    const std::shared_ptr<ProjectDataFolder> first = ProjectDataFolder::open(project).folder;
    nerim::detail::shareDataFolderDoors(true);
    ASSERT_EQ(first->access(), ProjectDataFolder::Access::writer);
    const QStringList before = contentsOf(project + QStringLiteral("/.nerim"));
    const QByteArray env = readFile(project + QStringLiteral("/.env"));

    CanvasServices s = services();
    provideTools(s);
    s.repairFixedToIdleDelay = fixedToIdleDelay;
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Project"),
                                                      provider, nullptr, s);
    canvas->setInputPrompt(QStringLiteral("typed before the load decided"));
    canvas->scheduleDraftSave();
    await(canvas->bootstrap());
    ASSERT_TRUE(canvas->isOpenElsewhere());

    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]: npm run web"))}, 0));
    await(canvas->runApp());
    await(canvas->repairSession().begin());
    ASSERT_TRUE(waitUntil([&] { return !canvas->repairSession().state().phase().isActive(); }, 30000));
    provider->enqueue(FakeAgentProvider::events({out(QStringLiteral("Deploying."))}, 1));
    await(canvas->deploySession().begin({DeployProvider::vercel}, DeployKind::fresh));
    ASSERT_TRUE(waitUntil([&] { return !canvas->deploySession().state().phase().isActive(); }, 30000));
    canvas->setInputPrompt(QStringLiteral("a draft"));
    canvas->scheduleDraftSave();
    spinEventLoop(100);
    await(canvas->teardown());
    canvas.reset();
    SerialFileWriter::shared().flush();

    EXPECT_EQ(contentsOf(project + QStringLiteral("/.nerim")), before);
    EXPECT_EQ(readFile(project + QStringLiteral("/.env")), env);
}

// The teardown lets the lock go only once a write queued on the launcher's
// thread (the launch command the Repair agent gave) has ended.
TEST_F(ProjectDataDoorTest, TheLockOutlastsAWriteOnTheLaunchersThread)
{
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    nerim::detail::setDataFolderWriteHook([&](ProjectDataFolder::Kind kind, const QString &) {
        if (kind == ProjectDataFolder::Kind::launchOverride) {
            entered = true;
            while (!release)
                QThread::msleep(2);
        }
    });
    const auto unhook = qScopeGuard([&] {
        release = true;
        nerim::detail::setDataFolderWriteHook({});
    });
    openWithRepairTimers();
    await(canvas->runApp());
    provider->enqueue(FakeAgentProvider::running({out(QStringLiteral("[NERIM_REPAIR_LAUNCH_OVERRIDE]: held-back"))}));
    await(canvas->repairSession().begin());
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }, 30000));

    await(canvas->teardown());
    EXPECT_FALSE(projectLockIsFree(project)) << "the write on the launcher's thread still runs";
    release = true;
    EXPECT_TRUE(waitUntil([&] { return projectLockIsFree(project); }, 30000));
    EXPECT_EQ(LaunchOverride::load(project)->shellCommand, QStringLiteral("held-back"));
}

// The plan conversation, the model choice, the agent names and the draft
// that cannot be saved are retried until they are, each told once while
// failing and once when saved again.
TEST_F(ProjectDataDoorTest, FailedSavesAreRetriedAndToldOnce)
{
    nerim::detail::setDataFolderRetryDelays(std::chrono::milliseconds(20), std::chrono::milliseconds(80));
    const auto delays = qScopeGuard(
        [] { nerim::detail::setDataFolderRetryDelays(std::chrono::milliseconds(1000), std::chrono::milliseconds(30000)); });
    open();
    provider->enqueue(FakeAgentProvider::running());
    AgentPaneState *pane = canvas->spawnPane(QStringLiteral("work"), AgentRole::code);
    ASSERT_NE(pane, nullptr);
    SerialFileWriter::shared().flush();

    std::atomic<bool> full{true};
    std::atomic<int> refused{0};
    fileCalls::detail::setHook([&](fileCalls::Call call, int, const char *, qint64) {
        if (full && call == fileCalls::Call::create) {
            ++refused;
            return false;
        }
        return true;
    });
    const auto unhook = qScopeGuard([] { fileCalls::detail::setHook({}); });
    canvas->plan().appendUserTurn(QStringLiteral("a plan turn"));
    canvas->modelPreference().setChoice(ModelChoice::opus46);
    canvas->modelPreference().persist();
    canvas->renamePane(pane->id(), QStringLiteral("Ada"));
    canvas->setInputPrompt(QStringLiteral("a draft"));
    canvas->scheduleDraftSave();

    const QStringList kinds{QStringLiteral("the plan conversation"), QStringLiteral("the model choice"),
                            QStringLiteral("the agent names"), QStringLiteral("the prompt draft")};
    const auto failing = [](const QString &kind) { return QStringLiteral("[Nerim couldn't save ") + kind + u':'; };
    const auto saved = [](const QString &kind) { return QStringLiteral("[Nerim saved ") + kind + QStringLiteral(" again.]"); };
    const auto countOf = [&](const QString &start) {
        int n = 0;
        for (const QString &line : lineTexts(pane))
            n += line.startsWith(start) ? 1 : 0;
        return n;
    };
    for (const QString &kind : kinds)
        ASSERT_TRUE(waitUntil([&] { return countOf(failing(kind)) > 0; })) << kind.toStdString();
    const int soFar = refused;
    ASSERT_TRUE(waitUntil([&] { return refused > soFar + 20; })) << "saves are retried";
    full = false;
    for (const QString &kind : kinds)
        ASSERT_TRUE(waitUntil([&] { return countOf(saved(kind)) > 0; })) << kind.toStdString();
    for (const QString &kind : kinds) {
        EXPECT_EQ(countOf(failing(kind)), 1) << kind.toStdString();
        EXPECT_EQ(countOf(saved(kind)), 1) << kind.toStdString();
    }
    SerialFileWriter::shared().flush();
    const QString data = project + QStringLiteral("/.nerim/");
    EXPECT_TRUE(readFile(data + QStringLiteral("plan.json")).contains("a plan turn"));
    EXPECT_TRUE(readFile(data + QStringLiteral("model.json")).contains(rawValue(ModelChoice::opus46).toUtf8()));
    EXPECT_TRUE(readFile(data + QStringLiteral("agent-names.json")).contains("Ada"));
    EXPECT_EQ(readFile(data + QStringLiteral("draft.txt")), QByteArray("a draft"));
}

// A quit while the model choice cannot be saved waits for it, then asks what
// to do, naming what is not saved; "try again" once there is room saves it
// before the project is let go.
TEST_F(ProjectDataDoorTest, AQuitWhileADataSaveFailsAsksAndTryAgainSavesIt)
{
    nerim::detail::setDataFolderRetryDelays(std::chrono::milliseconds(20), std::chrono::milliseconds(80));
    const auto delays = qScopeGuard(
        [] { nerim::detail::setDataFolderRetryDelays(std::chrono::milliseconds(1000), std::chrono::milliseconds(30000)); });
    CanvasServices s = services();
    s.panesTeardownRetryWindow = std::chrono::milliseconds(100);
    canvas = std::make_unique<ProjectCanvasViewModel>(QStringLiteral("project-id"), project, QStringLiteral("Project"),
                                                      provider, nullptr, s);
    await(canvas->bootstrap());
    SerialFileWriter::shared().flush();

    std::atomic<bool> full{true};
    fileCalls::detail::setHook([&](fileCalls::Call call, int, const char *name, qint64) {
        return !(full && call == fileCalls::Call::create && QByteArray(name).contains("model.json"));
    });
    const auto unhook = qScopeGuard([] { fileCalls::detail::setHook({}); });
    canvas->modelPreference().setChoice(ModelChoice::opus46);
    canvas->modelPreference().persist();

    QStringList asked;
    await(canvas->teardown([&](QString what, QString reason) -> QCoro::Task<bool> {
        asked.append(what + QStringLiteral(": ") + reason);
        full = asked.size() > 1; // the first answer comes once there is room again
        co_return true;
    }));
    ASSERT_EQ(asked.size(), 1) << asked.join(u'\n').toStdString();
    EXPECT_TRUE(asked.constFirst().startsWith(QStringLiteral("the model choice: "))) << asked.constFirst().toStdString();
    EXPECT_TRUE(readFile(project + QStringLiteral("/.nerim/model.json")).contains(rawValue(ModelChoice::opus46).toUtf8()));
    EXPECT_TRUE(projectLockIsFree(project));
}
