// The shell's operations against a real application state in a temporary
// data folder: the order of the project list, opening, adding, removing and
// starting blank projects, and every message a failure leaves in `lastError`.
#include "app/AppShellViewModel.h"
#include "persistence/FileCalls.h"
#include "persistence/AppStateActor.h"
#include "TestAsync.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QScopeGuard>
#include <QFileInfo>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;
using Entry = AppState::ProjectRegistryEntry;

namespace {

const QDateTime kNow(QDate(2026, 12, 7), QTime(10, 30, 0));

Entry entry(const QString &id, const QString &name, double openedAt)
{
    return {id, QStringLiteral("/projects/") + name, name, Timestamp(openedAt), Timestamp(openedAt)};
}

QStringList names(const QList<Entry> &entries)
{
    QStringList list;
    for (const Entry &e : entries)
        list.append(e.displayName);
    return list;
}

class AppShellTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        support = makeTempDir(QStringLiteral("Nerim"));
        documents = homeDir() + QStringLiteral("/Documents");
    }

    AppShellViewModel::Environment environment()
    {
        AppShellViewModel::Environment env;
        env.now = [] { return kNow; };
        env.documentsFolder = [this] { return documents; };
        env.homeFolder = [] { return homeDir(); };
        return env;
    }

    // A shell over app.json holding `projects` (none: a fresh state).
    void start(const QList<Entry> &projects = {})
    {
        if (!projects.isEmpty()) {
            AppState state = AppState::fresh(Timestamp(1000.0));
            state.projects = projects;
            ASSERT_TRUE(writeFile(support + QStringLiteral("/app.json"), state.encoded()));
        }
        shell = std::make_unique<AppShellViewModel>(environment());
        await(shell->takeStartupOutcome(await(loadApplicationState(support))));
    }

    AppState saved() { return await(shell->appStateActor()->state()); }

    const Entry *savedEntry(const QString &id)
    {
        state = saved();
        for (const Entry &e : state.projects) {
            if (e.id == id)
                return &e;
        }
        return nullptr;
    }

    QString support;
    QString documents;
    AppState state;
    std::unique_ptr<AppShellViewModel> shell;
};

} // namespace

TEST_F(AppShellTest, StartsOnTheOverviewWithTheNewestProjectFirst)
{
    start({entry(QStringLiteral("A"), QStringLiteral("a"), 100), entry(QStringLiteral("B"), QStringLiteral("b"), 300),
           entry(QStringLiteral("C"), QStringLiteral("c"), 300), entry(QStringLiteral("D"), QStringLiteral("d"), 200)});
    EXPECT_EQ(shell->route(), AppShellRoute::projectsOverview());
    // Equal dates keep the registry's order.
    EXPECT_EQ(names(shell->projects()), (QStringList{QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d"),
                                                     QStringLiteral("a")}));

    // Coming back from a canvas reads the list again; an unchanged list notifies nobody.
    QSignalSpy projectsChanged(shell.get(), &AppShellViewModel::projectsChanged);
    shell->setRoute(AppShellRoute::projectCanvas(QStringLiteral("A"), QStringLiteral("/projects/a"), QStringLiteral("a")));
    await(shell->returnToOverview());
    EXPECT_EQ(shell->route(), AppShellRoute::projectsOverview());
    EXPECT_EQ(projectsChanged.count(), 0);
    EXPECT_EQ(shell->projects().size(), 4);
}

// The projects read with the record: the overview is routed to before the
// task returns, with no turn of the event loop (the window's first picture).
TEST_F(AppShellTest, ProjectsReadWithTheRecordShowTheOverviewAtOnce)
{
    StartupOutcome outcome = await(loadApplicationState(support));
    outcome.projects = QList<Entry>{entry(QStringLiteral("A"), QStringLiteral("a"), 100),
                                    entry(QStringLiteral("B"), QStringLiteral("b"), 300)};
    shell = std::make_unique<AppShellViewModel>(environment());
    QCoro::Task<> taking = shell->takeStartupOutcome(outcome);
    EXPECT_TRUE(taking.isReady());
    EXPECT_EQ(shell->route(), AppShellRoute::projectsOverview());
    EXPECT_EQ(names(shell->projects()), (QStringList{QStringLiteral("b"), QStringLiteral("a")}));
}

TEST_F(AppShellTest, AFailedStartupStaysOnTheBackgroundWithItsMessage)
{
    shell = std::make_unique<AppShellViewModel>(environment());
    StartupOutcome failed;
    failed.errorMessage = QStringLiteral("Nerim couldn't read its saved state.");
    await(shell->takeStartupOutcome(failed));
    EXPECT_EQ(shell->route(), AppShellRoute::loading());
    EXPECT_EQ(shell->startupError(), failed.errorMessage);
    EXPECT_TRUE(shell->projects().isEmpty());
}

TEST_F(AppShellTest, OpeningMarksTheProjectOpenedButNeverTheScratchEntry)
{
    start({entry(QStringLiteral("scratch-debug"), QStringLiteral("nerim-scratch"), 50),
           entry(QStringLiteral("A"), QStringLiteral("a"), 100)});

    await(shell->openProject(shell->projects().at(1)));
    EXPECT_EQ(shell->route().kind(), AppShellRoute::Kind::projectCanvas);
    EXPECT_EQ(shell->route().projectId(), QStringLiteral("scratch-debug"));
    EXPECT_EQ(shell->route().path(), QStringLiteral("/projects/nerim-scratch"));
    EXPECT_EQ(savedEntry(QStringLiteral("scratch-debug"))->lastOpenedAt, Timestamp(50));

    await(shell->openProject(shell->projects().at(0)));
    EXPECT_EQ(shell->route(), AppShellRoute::projectCanvas(QStringLiteral("A"), QStringLiteral("/projects/a"),
                                                           QStringLiteral("a")));
    EXPECT_EQ(savedEntry(QStringLiteral("A"))->lastOpenedAt,
              Timestamp::fromUnixSeconds(kNow.toMSecsSinceEpoch() / 1000.0));

    // Without an application state the project still opens.
    AppShellViewModel bare(environment());
    await(bare.openProject(entry(QStringLiteral("Z"), QStringLiteral("z"), 1)));
    EXPECT_EQ(bare.route().projectId(), QStringLiteral("Z"));
}

TEST_F(AppShellTest, AddingAFolderRegistersItOnceAndOpensIt)
{
    start();
    const QString folder = makeTempDir(QStringLiteral("My Site"));
    await(shell->addProject(folder + QLatin1Char('/')));
    EXPECT_FALSE(shell->lastError());
    ASSERT_EQ(shell->projects().size(), 1);
    const Entry added = shell->projects().first();
    EXPECT_EQ(added.path, folder);
    EXPECT_EQ(added.displayName, QStringLiteral("My Site"));
    EXPECT_EQ(shell->route(), AppShellRoute::projectCanvas(added.id, folder, QStringLiteral("My Site")));
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/.nerim-write-test")));

    // The same folder again refreshes its entry rather than adding a second.
    shell->setRoute(AppShellRoute::projectsOverview());
    await(shell->addProject(folder));
    EXPECT_EQ(saved().projects.size(), 1);
    EXPECT_EQ(shell->route().projectId(), added.id);
}

TEST_F(AppShellTest, EachFailureLeavesItsMessageAndTheOverview)
{
    // Without an application state.
    {
        AppShellViewModel bare(environment());
        await(bare.addProject(makeTempDir()));
        EXPECT_EQ(bare.lastError(), QStringLiteral("App state not ready yet — try again."));
        bare.setLastError(std::nullopt);
        await(bare.removeProject(entry(QStringLiteral("A"), QStringLiteral("a"), 1)));
        EXPECT_EQ(bare.lastError(), QStringLiteral("App state not ready yet — try again."));
        bare.setLastError(std::nullopt);
        await(bare.startBlankProject());
        EXPECT_EQ(bare.lastError(), QStringLiteral("App state not ready yet — try again."));
        EXPECT_EQ(bare.route(), AppShellRoute::loading());
    }

    start();
    const QString unwritable =
        QStringLiteral("Nerim can't write to that folder. Pick another or check its permissions in your file manager.");
    // A folder that is not there, and one where the probe file cannot be made.
    await(shell->addProject(makeTempDir() + QStringLiteral("/missing")));
    EXPECT_EQ(shell->lastError(), unwritable);
    shell->setLastError(std::nullopt);
    const QString blocked = makeTempDir(QStringLiteral("blocked"));
    ASSERT_TRUE(writeFile(blocked + QStringLiteral("/.nerim-write-test/keep"), "x"));
    await(shell->addProject(blocked));
    EXPECT_EQ(shell->lastError(), unwritable);

    // Documents is a file: the projects folder cannot be made. The home is "~".
    shell->setLastError(std::nullopt);
    ASSERT_TRUE(writeFile(documents, "not a folder"));
    await(shell->startBlankProject());
    ASSERT_TRUE(shell->lastError());
    EXPECT_TRUE(shell->lastError()->startsWith(QStringLiteral("Couldn't create ~/Documents/Nerim Projects: ")))
        << shell->lastError()->toStdString();
    EXPECT_GT(shell->lastError()->size(), QStringLiteral("Couldn't create ~/Documents/Nerim Projects: ").size());

    // The projects folder exists but a new folder's name would be too long.
    shell->setLastError(std::nullopt);
    documents = makeTempDir(QStringLiteral("deep"));
    while (documents.size() < 4000)
        documents += QLatin1Char('/') + QString(200, QLatin1Char('d'));
    ASSERT_TRUE(QDir().mkpath(documents + QStringLiteral("/Nerim Projects")));
    await(shell->startBlankProject());
    ASSERT_TRUE(shell->lastError());
    EXPECT_TRUE(shell->lastError()->startsWith(QStringLiteral("Couldn't create a new project folder: ")))
        << shell->lastError()->toStdString();

    // The application state cannot be saved: registering and removing report
    // the persistence error's own message.
    shell->setLastError(std::nullopt);
    documents = homeDir() + QStringLiteral("/Documents");
    QFile::remove(documents);
    fileCalls::detail::setHook([](fileCalls::Call call, int, const char *name, qint64) {
        return call != fileCalls::Call::create || !QByteArray(name).contains("app.json");
    });
    const auto unhook = qScopeGuard([] { fileCalls::detail::setHook({}); });
    await(shell->addProject(makeTempDir(QStringLiteral("fine"))));
    ASSERT_TRUE(shell->lastError());
    EXPECT_TRUE(shell->lastError()->startsWith(QStringLiteral("Write failed at "))) << shell->lastError()->toStdString();
    shell->setLastError(std::nullopt);
    await(shell->startBlankProject());
    ASSERT_TRUE(shell->lastError());
    EXPECT_TRUE(shell->lastError()->startsWith(QStringLiteral("Write failed at ")));
    EXPECT_EQ(shell->route(), AppShellRoute::projectsOverview());
}

TEST_F(AppShellTest, ATakenBlankProjectNameGetsTheNextNumber)
{
    start();
    const QString parent = documents + QStringLiteral("/Nerim Projects/");
    ASSERT_TRUE(QDir().mkpath(parent + QStringLiteral("Untitled Project 2026-12-07 10-30-00")));
    ASSERT_TRUE(QDir().mkpath(parent + QStringLiteral("Untitled Project 2026-12-07 10-30-00 (2)")));
    await(shell->startBlankProject());
    EXPECT_FALSE(shell->lastError());
    const QString made = parent + QStringLiteral("Untitled Project 2026-12-07 10-30-00 (3)");
    EXPECT_TRUE(QFileInfo(made).isDir());
    ASSERT_EQ(shell->projects().size(), 1);
    EXPECT_EQ(shell->projects().first().displayName, QStringLiteral("Untitled Project 2026-12-07 10-30-00 (3)"));
    EXPECT_EQ(shell->route().path(), made);
}

TEST_F(AppShellTest, RemovingLeavesTheFolderAndNeverTheScratchEntry)
{
    const QString folder = makeTempDir(QStringLiteral("kept"));
    start({entry(QStringLiteral("scratch-debug"), QStringLiteral("nerim-scratch"), 50),
           {QStringLiteral("A"), folder, QStringLiteral("kept"), Timestamp(10), Timestamp(10)}});
    await(shell->removeProject(shell->projects().at(0)));
    EXPECT_EQ(saved().projects.size(), 2);

    await(shell->removeProject(shell->projects().at(1)));
    EXPECT_EQ(names(shell->projects()), QStringList{QStringLiteral("nerim-scratch")});
    EXPECT_EQ(names(saved().projects), QStringList{QStringLiteral("nerim-scratch")});
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_FALSE(shell->lastError());
}

// A double click starts two operations: only the first runs.
TEST_F(AppShellTest, AnOperationInFlightIgnoresTheNextOne)
{
    start({entry(QStringLiteral("A"), QStringLiteral("a"), 100), entry(QStringLiteral("B"), QStringLiteral("b"), 200)});
    QSignalSpy routes(shell.get(), &AppShellViewModel::routeChanged);
    QCoro::Task<> first = shell->openProject(shell->projects().at(1));
    EXPECT_TRUE(shell->isBusy());
    QCoro::Task<> second = shell->openProject(shell->projects().at(0));
    QCoro::Task<> third = shell->startBlankProject();
    await(std::move(first));
    await(std::move(second));
    await(std::move(third));
    EXPECT_FALSE(shell->isBusy());
    EXPECT_EQ(routes.count(), 1);
    EXPECT_EQ(shell->route().projectId(), QStringLiteral("A"));
    EXPECT_EQ(savedEntry(QStringLiteral("B"))->lastOpenedAt, Timestamp(200));
    EXPECT_FALSE(QFileInfo::exists(documents + QStringLiteral("/Nerim Projects")));

    // The canvas already shown is not shown again.
    shell->setRoute(shell->route());
    EXPECT_EQ(routes.count(), 1);

    // Two blank projects asked for at once make one folder.
    shell->setRoute(AppShellRoute::projectsOverview());
    QCoro::Task<> blank1 = shell->startBlankProject();
    QCoro::Task<> blank2 = shell->startBlankProject();
    await(std::move(blank1));
    await(std::move(blank2));
    EXPECT_EQ(QDir(documents + QStringLiteral("/Nerim Projects")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
}

TEST(AppShellRules, PathsShowTheHomeAsTilde)
{
    EXPECT_EQ(AppShellViewModel::pathForDisplay(QStringLiteral("/home/u/Documents/Nerim Projects"),
                                                QStringLiteral("/home/u")),
              QStringLiteral("~/Documents/Nerim Projects"));
    EXPECT_EQ(AppShellViewModel::pathForDisplay(QStringLiteral("/home/user2/x"), QStringLiteral("/home/u")),
              QStringLiteral("/home/user2/x"));
    EXPECT_EQ(AppShellViewModel::pathForDisplay(QStringLiteral("/data/Docs"), QStringLiteral("/")),
              QStringLiteral("/data/Docs"));
}

TEST_F(AppShellTest, AnOverviewErrorDoesNotStayOverTheNextScreen)
{
    start();
    await(shell->addProject(makeTempDir() + QStringLiteral("/missing")));
    ASSERT_TRUE(shell->lastError());
    EXPECT_EQ(shell->route(), AppShellRoute::projectsOverview());

    // The next project opens: the overview's banner goes with the overview.
    const QString folder = makeTempDir(QStringLiteral("Next Site"));
    await(shell->addProject(folder));
    EXPECT_EQ(shell->route().path(), folder);
    EXPECT_FALSE(shell->lastError());

    // Back on the overview, a new failure shows again.
    await(shell->returnToOverview());
    await(shell->addProject(makeTempDir() + QStringLiteral("/missing")));
    EXPECT_TRUE(shell->lastError());
}
