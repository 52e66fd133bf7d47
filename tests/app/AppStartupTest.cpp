#include "app/AppStartup.h"
#include "persistence/MemoryError.h"
#include "TestAsync.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QThread>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

QByteArray record(int version)
{
    AppState state = AppState::fresh(Timestamp(800000000.0));
    state.schemaVersion = version;
    return state.encoded();
}

} // namespace

// The road of the start-up load: what the window is given in each situation.
TEST(AppStartup, LoadDecision)
{
    struct Case {
        const char *what;
        QByteArray state;  // empty: no file
        QByteArray backup; // empty: no file
        bool succeeds;
        AppStateActor::Origin origin;
        int quarantined;
        const char *message; // fragment of the error message
    };
    const Case cases[] = {
        {"first start", {}, {}, true, AppStateActor::Origin::created, 0, ""},
        {"clean load", record(1), {}, true, AppStateActor::Origin::loaded, 0, ""},
        {"damaged primary", "{", record(1), true, AppStateActor::Origin::restoredFromBackup, 0, ""},
        {"both damaged", "{", "}", true, AppStateActor::Origin::quarantined, 2, ""},
        {"only a damaged backup", {}, "}", true, AppStateActor::Origin::quarantined, 1, ""},
        {"newer release", record(2), record(1), false, AppStateActor::Origin::loaded, 0, "newer version of Nerim"},
    };
    for (const auto &c : cases) {
        const QString dir = test::makeTempDir(QStringLiteral("Nerim"));
        if (!c.state.isEmpty())
            test::writeFile(dir + QStringLiteral("/app.json"), c.state);
        if (!c.backup.isEmpty())
            test::writeFile(dir + QStringLiteral("/app.json.bak"), c.backup);
        const QStringList before = QDir(dir).entryList(QDir::Files);

        const StartupOutcome outcome = test::await(loadApplicationState(dir));
        EXPECT_EQ(outcome.succeeded(), c.succeeds) << c.what;
        EXPECT_EQ(outcome.quarantinedPaths.size(), c.quarantined) << c.what;
        if (c.succeeds) {
            EXPECT_EQ(outcome.origin, c.origin) << c.what;
            EXPECT_TRUE(outcome.errorMessage.isEmpty()) << c.what;
        } else {
            EXPECT_TRUE(outcome.errorMessage.contains(QString::fromLatin1(c.message)))
                << c.what << ": " << outcome.errorMessage.toStdString();
            EXPECT_EQ(QDir(dir).entryList(QDir::Files), before) << c.what;
            EXPECT_EQ(test::readFile(dir + QStringLiteral("/app.json")), c.state) << c.what;
        }
        for (const QString &path : outcome.quarantinedPaths)
            EXPECT_TRUE(QFile::exists(path)) << c.what;
    }
}

TEST(AppStartup, UnreadableFilesAndFoldersAreReportedNotReplaced)
{
    // app.json cannot be read (a folder stands in its place).
    const QString dir = test::makeTempDir(QStringLiteral("Nerim"));
    QDir().mkpath(dir + QStringLiteral("/app.json"));
    StartupOutcome outcome = test::await(loadApplicationState(dir));
    EXPECT_FALSE(outcome.succeeded());
    EXPECT_TRUE(outcome.errorMessage.startsWith(QStringLiteral("Nerim couldn't read its saved state at ") + dir +
                                                QStringLiteral("/app.json")))
        << outcome.errorMessage.toStdString();
    EXPECT_TRUE(QFileInfo(dir + QStringLiteral("/app.json")).isDir());

    // The data folder itself cannot be made.
    const QString file = test::makeTempDir() + QStringLiteral("/plain-file");
    test::writeFile(file, "x");
    outcome = test::await(loadApplicationState(file + QStringLiteral("/Nerim")));
    EXPECT_FALSE(outcome.succeeded());
    EXPECT_FALSE(outcome.errorMessage.isEmpty());
}

// Paths are the user's: a folder name holding "%1" or "%2" appears as written.
TEST(AppStartup, ErrorMessagesShowPathsAsWritten)
{
    for (const QString &path : {QStringLiteral("/home/u/100%2 sure/Nerim/app.json"),
                                QStringLiteral("/home/u/%1%2%3/Nerim/app.json")}) {
        const std::exception_ptr errors[] = {
            std::make_exception_ptr(MemoryError::schemaVersionMismatch(1, 0, path)),
            std::make_exception_ptr(MemoryError::schemaVersionMismatch(1, 7, path)),
            std::make_exception_ptr(MemoryError::readFailed(path, QStringLiteral("Permission denied"))),
        };
        for (const auto &error : errors) {
            const QString message = startupErrorMessage(error);
            EXPECT_TRUE(message.contains(QStringLiteral(" at ") + path + QLatin1Char(' '))) << message.toStdString();
        }
    }
    const QString old = startupErrorMessage(std::make_exception_ptr(
        MemoryError::schemaVersionMismatch(1, 0, QStringLiteral("/data/%2/app.json"))));
    EXPECT_EQ(old, QStringLiteral("Nerim's saved state at /data/%2/app.json has a format this version cannot read "
                                  "(version 0). Your saved data has not been changed."));
}

// `main` starts the load before it builds the window and takes the outcome at
// once when the read is done: then with the record's projects; a failed read
// is never taken at once, but still answered by the task (quarantine here).
TEST(AppStartup, AStartedLoadIsTakenAtOnceOnlyWhenItSucceeded)
{
    const auto finished = [](const QFuture<StartupOutcome> &started) {
        for (int i = 0; i < 10000 && !started.isFinished(); ++i)
            QThread::msleep(1);
        return started.isFinished();
    };

    const QString dir = test::makeTempDir(QStringLiteral("Nerim"));
    AppState state = AppState::fresh(Timestamp(800000000.0));
    state.projects = {{QStringLiteral("A"), QStringLiteral("/p/a"), QStringLiteral("a"), Timestamp(1.0), Timestamp(1.0)},
                      {QStringLiteral("B"), QStringLiteral("/p/b"), QStringLiteral("b"), Timestamp(2.0), Timestamp(2.0)}};
    test::writeFile(dir + QStringLiteral("/app.json"), state.encoded());
    const QFuture<StartupOutcome> started = startApplicationStateLoad(dir);
    ASSERT_TRUE(finished(started));
    const std::optional<StartupOutcome> outcome = finishedStartupLoad(started);
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(outcome->succeeded());
    EXPECT_EQ(outcome->origin, AppStateActor::Origin::loaded);
    ASSERT_TRUE(outcome->projects);
    EXPECT_EQ(*outcome->projects, state.projects);

    const QString damaged = test::makeTempDir(QStringLiteral("Nerim"));
    test::writeFile(damaged + QStringLiteral("/app.json"), "{");
    test::writeFile(damaged + QStringLiteral("/app.json.bak"), "}");
    const QFuture<StartupOutcome> failing = startApplicationStateLoad(damaged);
    ASSERT_TRUE(finished(failing));
    EXPECT_FALSE(finishedStartupLoad(failing));
    const StartupOutcome answered = test::await(loadApplicationState(failing, damaged));
    EXPECT_TRUE(answered.succeeded());
    EXPECT_EQ(answered.origin, AppStateActor::Origin::quarantined);
    EXPECT_EQ(answered.quarantinedPaths.size(), 2);
}
