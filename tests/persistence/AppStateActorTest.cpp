#include "persistence/AppStateActor.h"
#include "persistence/FileCalls.h"
#include "persistence/MemoryError.h"
#include "TestAsync.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

struct Folder {
    QString dir = test::makeTempDir(QStringLiteral("Nerim"));
    QString state = dir + QStringLiteral("/app.json");
    QString backup = dir + QStringLiteral("/app.json.bak");

    QStringList files() const { return QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot); }
};

QByteArray validRecord(const QString &name, int version = 1)
{
    AppState state = AppState::fresh(Timestamp(800000000.0));
    state.schemaVersion = version;
    state.preferences.userDisplayName = name;
    return state.encoded();
}

std::exception_ptr loadError(const Folder &folder)
{
    try {
        test::await(AppStateActor::load(folder.dir));
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

MemoryError memoryError(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const MemoryError &e) {
        return e;
    }
}

} // namespace

TEST(AppStateActor, FirstStartCreatesTheRecord)
{
    Folder folder;
    auto actor = test::await(AppStateActor::load(folder.dir));
    EXPECT_EQ(actor->origin(), AppStateActor::Origin::created);
    EXPECT_EQ(folder.files(), QStringList{QStringLiteral("app.json")});
    EXPECT_FALSE(test::await(actor->hasCompletedOnboarding()));
    EXPECT_EQ(test::readFile(folder.state), test::await(actor->state()).encoded());

    // A clean second load writes nothing.
    const QByteArray before = test::readFile(folder.state);
    auto again = test::await(AppStateActor::load(folder.dir));
    EXPECT_EQ(again->origin(), AppStateActor::Origin::loaded);
    EXPECT_EQ(folder.files(), QStringList{QStringLiteral("app.json")});
    EXPECT_EQ(test::readFile(folder.state), before);
}

TEST(AppStateActor, DefaultFolderIsTheApplicationDataFolder)
{
    auto actor = test::await(AppStateActor::load());
    EXPECT_EQ(actor->stateURL(), test::homeDir() + QStringLiteral("/.local/share/Nerim/app.json"));
    EXPECT_EQ(actor->backupURL(), test::homeDir() + QStringLiteral("/.local/share/Nerim/app.json.bak"));
    EXPECT_TRUE(QFileInfo::exists(actor->stateURL()));
}

TEST(AppStateActor, DamagedPrimaryIsRestoredFromTheBackup)
{
    Folder folder;
    test::writeFile(folder.state, "{\"schemaVersion\": 1");
    test::writeFile(folder.backup, validRecord(QStringLiteral("From backup")));
    test::LogCapture log;
    auto actor = test::await(AppStateActor::load(folder.dir));
    EXPECT_EQ(actor->origin(), AppStateActor::Origin::restoredFromBackup);
    EXPECT_EQ(test::await(actor->state()).preferences.userDisplayName, QStringLiteral("From backup"));
    EXPECT_EQ(AppState::decode(test::readFile(folder.state)).preferences.userDisplayName, QStringLiteral("From backup"));
    // The damaged bytes are kept under a name of their own, named in the log,
    // and later saves never replace them.
    const QStringList kept = QDir(folder.dir).entryList({QStringLiteral("app.corrupt-*.json")}, QDir::Files);
    ASSERT_EQ(kept.size(), 1);
    const QString aside = folder.dir + QLatin1Char('/') + kept.first();
    EXPECT_EQ(test::readFile(aside), QByteArray("{\"schemaVersion\": 1"));
    EXPECT_EQ(test::readFile(folder.backup), validRecord(QStringLiteral("From backup")));
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_EQ(log.lines().first(), QStringLiteral("[Nerim memory] Kept the unreadable %1 as %2").arg(folder.state, aside));
    EXPECT_TRUE(log.lines().last().startsWith(
        QStringLiteral("[Nerim memory] Recovered app.json from backup. Primary cause: the data is not valid JSON")));
    test::await(actor->setUserDisplayName(QStringLiteral("One")));
    test::await(actor->setUserDisplayName(QStringLiteral("Two")));
    EXPECT_EQ(test::readFile(aside), QByteArray("{\"schemaVersion\": 1"));
}

TEST(AppStateActor, MissingPrimaryIsRestoredAndTheBackupKept)
{
    Folder folder;
    const QByteArray good = validRecord(QStringLiteral("Kept"));
    test::writeFile(folder.backup, good);
    test::LogCapture log;
    auto actor = test::await(AppStateActor::load(folder.dir));
    EXPECT_EQ(actor->origin(), AppStateActor::Origin::restoredFromBackup);
    EXPECT_EQ(test::readFile(folder.backup), good);
    EXPECT_EQ(test::readFile(folder.state), good);
    EXPECT_EQ(log.lines(), QStringList{QStringLiteral(
                               "[Nerim memory] Recovered app.json from backup. Primary cause: file does not exist")});
}

TEST(AppStateActor, BothDamagedAreQuarantinedAndKept)
{
    Folder folder;
    test::writeFile(folder.state, "garbage 1");
    test::writeFile(folder.backup, "{\"schemaVersion\": 1}");
    const std::exception_ptr error = loadError(folder);
    ASSERT_TRUE(error);
    EXPECT_EQ(memoryError(error).kind(), MemoryError::Kind::bothPrimaryAndBackupUnreadable);
    EXPECT_TRUE(AppStateActor::shouldQuarantine(error));
    EXPECT_EQ(folder.files().size(), 2); // the failed load changed nothing

    test::LogCapture log;
    auto first = test::await(AppStateActor::quarantineAndStartFresh(folder.dir));
    ASSERT_EQ(first.movedPaths.size(), 2);
    EXPECT_TRUE(QFileInfo(first.movedPaths[0]).fileName().contains(QRegularExpression(
        QStringLiteral("^app\\.corrupt-\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\dZ\\.json$"))));
    EXPECT_TRUE(QFileInfo(first.movedPaths[1]).fileName().contains(QRegularExpression(
        QStringLiteral("^app\\.json\\.corrupt-\\d{4}-\\d\\d-\\d\\dT\\d\\d-\\d\\d-\\d\\dZ\\.bak$"))));
    EXPECT_EQ(test::readFile(first.movedPaths[0]), QByteArray("garbage 1"));
    EXPECT_EQ(test::readFile(first.movedPaths[1]), QByteArray("{\"schemaVersion\": 1}"));
    EXPECT_EQ(first.actor->origin(), AppStateActor::Origin::quarantined);
    EXPECT_EQ(AppState::decode(test::readFile(folder.state)).projects.size(), 0);
    EXPECT_TRUE(log.contains(QStringLiteral("[Nerim memory] Quarantined ") + folder.state + QStringLiteral(" \u2192 ")));

    // A second quarantine within the same second never overwrites the first.
    test::writeFile(folder.state, "garbage 2");
    test::writeFile(folder.backup, "garbage 3");
    auto second = test::await(AppStateActor::quarantineAndStartFresh(folder.dir));
    ASSERT_EQ(second.movedPaths.size(), 2);
    EXPECT_NE(second.movedPaths[0], first.movedPaths[0]);
    for (const QString &path : first.movedPaths + second.movedPaths)
        EXPECT_TRUE(QFileInfo::exists(path)) << path.toStdString();
    EXPECT_EQ(test::readFile(second.movedPaths[0]), QByteArray("garbage 2"));
}

TEST(AppStateActor, RecordsThatMustNotBeTouched)
{
    struct Case {
        QByteArray state;  // empty: no file
        QByteArray backup; // empty: no file
        MemoryError::Kind kind;
        const char *namedFile;
    };
    const QByteArray newer = validRecord(QStringLiteral("Future"), 2);
    const QByteArray reshaped = R"({"schemaVersion": 3, "settings": {}})"; // a newer release's layout
    const Case cases[] = {
        {newer, validRecord(QStringLiteral("Old")), MemoryError::Kind::schemaVersionMismatch, "app.json"},
        {reshaped, "garbage", MemoryError::Kind::schemaVersionMismatch, "app.json"},
        {"garbage", newer, MemoryError::Kind::schemaVersionMismatch, "app.json.bak"},
        {{}, newer, MemoryError::Kind::schemaVersionMismatch, "app.json.bak"},
    };
    for (const auto &c : cases) {
        Folder folder;
        if (!c.state.isEmpty())
            test::writeFile(folder.state, c.state);
        if (!c.backup.isEmpty())
            test::writeFile(folder.backup, c.backup);
        const QStringList before = folder.files();
        const std::exception_ptr error = loadError(folder);
        ASSERT_TRUE(error);
        const MemoryError e = memoryError(error);
        EXPECT_EQ(e.kind(), c.kind);
        EXPECT_EQ(QFileInfo(e.filePath()).fileName(), QString::fromLatin1(c.namedFile));
        EXPECT_EQ(e.expected(), 1);
        EXPECT_FALSE(AppStateActor::shouldQuarantine(error));
        EXPECT_EQ(folder.files(), before);
        EXPECT_EQ(test::readFile(folder.state), c.state);
        EXPECT_EQ(test::readFile(folder.backup), c.backup);
    }

    // A primary that exists but cannot be read (here a folder in its place) is
    // reported, never restored over or quarantined.
    Folder folder;
    QDir().mkpath(folder.state);
    test::writeFile(folder.backup, validRecord(QStringLiteral("Old")));
    const std::exception_ptr error = loadError(folder);
    ASSERT_TRUE(error);
    EXPECT_EQ(memoryError(error).kind(), MemoryError::Kind::readFailed);
    EXPECT_EQ(memoryError(error).filePath(), folder.state);
    EXPECT_FALSE(AppStateActor::shouldQuarantine(error));
    EXPECT_TRUE(QFileInfo(folder.state).isDir());
    EXPECT_EQ(test::readFile(folder.backup), validRecord(QStringLiteral("Old")));
}

TEST(AppStateActor, RegistryAndPreferences)
{
    Folder folder;
    auto actor = test::await(AppStateActor::load(folder.dir));
    const Timestamp t1(800000000.0), t2(800000100.0);

    const auto first = test::await(actor->registerProject(QStringLiteral("/p/app"), QStringLiteral("App"), t1));
    const auto again = test::await(actor->registerProject(QStringLiteral("/p/app"), QStringLiteral("App 2"), t2));
    EXPECT_EQ(again.id, first.id);
    EXPECT_EQ(again.displayName, QStringLiteral("App 2"));
    EXPECT_EQ(again.createdAt, t1);
    EXPECT_EQ(again.lastOpenedAt, t2);
    const auto slash = test::await(actor->registerProject(QStringLiteral("/p/app/"), QStringLiteral("App"), t2));
    EXPECT_NE(slash.id, first.id);
    EXPECT_EQ(first.id.size(), 36);
    EXPECT_EQ(first.id, first.id.toUpper());

    const QByteArray beforeUnknown = test::readFile(folder.state);
    test::await(actor->markProjectOpened(QStringLiteral("no-such-id"), t2));
    EXPECT_EQ(test::readFile(folder.state), beforeUnknown);
    const auto rest = test::await(actor->removeProject(first.id));
    ASSERT_EQ(rest.size(), 1);
    EXPECT_EQ(rest[0].path, QStringLiteral("/p/app/"));

    test::await(actor->setUserDisplayName(QStringLiteral("   \n")));
    EXPECT_EQ(test::await(actor->state()).preferences.userDisplayName, currentLoginName());
    test::await(actor->setUserDisplayName(QStringLiteral("  ") + QString(45, QLatin1Char('n'))));
    EXPECT_EQ(test::await(actor->state()).preferences.userDisplayName, QString(40, QLatin1Char('n')));

    test::await(actor->setPrimaryDomain(AppState::PrimaryDomain::other, QStringLiteral("  robots  ")));
    EXPECT_EQ(test::await(actor->state()).preferences.primaryDomainOther, QStringLiteral("robots"));
    test::await(actor->setPrimaryDomain(AppState::PrimaryDomain::webApp, QStringLiteral("text")));
    EXPECT_FALSE(test::await(actor->state()).preferences.primaryDomainOther);
    test::await(actor->setPrimaryDomain(AppState::PrimaryDomain::other, std::nullopt));
    EXPECT_FALSE(test::await(actor->state()).preferences.primaryDomainOther);

    test::await(actor->setOutputMode(AppState::OutputMode::verbose));
    test::await(actor->setWantsManagedKeys(true));
    QStringList names;
    for (int i = 0; i < 12; ++i)
        names.append(QStringLiteral("q%1").arg(i));
    test::await(actor->completeOnboarding(t2, names));
    EXPECT_TRUE(test::await(actor->hasCompletedOnboarding()));

    // Every change was saved: a fresh load sees them all.
    const AppState saved = test::await(AppStateActor::load(folder.dir))->state().result();
    EXPECT_EQ(saved.onboarding.skippedQuestions, names.mid(0, 10));
    EXPECT_EQ(saved.preferences.outputMode, AppState::OutputMode::verbose);
    EXPECT_TRUE(saved.preferences.wantsManagedKeys);
    EXPECT_EQ(saved.projects.size(), 1);
}

TEST(AppStateActor, FailedSaveKeepsTheChangeForTheNextSave)
{
    Folder folder;
    auto actor = test::await(AppStateActor::load(folder.dir));
    fileCalls::detail::setHook([](fileCalls::Call call, int, const char *, qint64) { return call != fileCalls::Call::create; });
    EXPECT_THROW(test::await(actor->setOutputMode(AppState::OutputMode::summary)), MemoryError);
    fileCalls::detail::setHook({});
    EXPECT_EQ(test::await(actor->state()).preferences.outputMode, AppState::OutputMode::summary);
    EXPECT_EQ(AppState::decode(test::readFile(folder.state)).preferences.outputMode, AppState::OutputMode::notification);

    test::await(actor->setWantsManagedKeys(true));
    const AppState saved = AppState::decode(test::readFile(folder.state));
    EXPECT_EQ(saved.preferences.outputMode, AppState::OutputMode::summary);
    EXPECT_TRUE(saved.preferences.wantsManagedKeys);
}
