#include "deploy/DeployConfig.h"
#include "deploy/DeployContext.h"
#include "deploy/DeployHistoryEntry.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "PlantedFiles.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

DeployConfig sampleConfig()
{
    DeployConfig config;
    config.providers = {DeployProvider::supabase, DeployProvider::vercel};
    config.frontendURL = QStringLiteral("https://shop.vercel.app");
    config.backendURL = QStringLiteral("https://abc.supabase.co");
    config.customDomain = QStringLiteral("shop.example.com");
    config.autoDeployOnPush = false;
    config.projectIDs = {{QStringLiteral("vercel"), QStringLiteral("prj_1")}};
    config.envDecisions = {{QStringLiteral("STRIPE_KEY"), QStringLiteral("custom")},
                           {QStringLiteral("DEBUG"), QStringLiteral("skip")}};
    config.lastDeployedAt = QStringLiteral("2026-12-07T10:00:00Z");
    config.revision = 4;
    return config;
}

DeployHistoryEntry liveEntry(const QString &id)
{
    DeployHistoryEntry entry;
    entry.timestamp = QStringLiteral("2026-12-07T10:00:00Z");
    entry.providers = {QStringLiteral("vercel")};
    entry.frontendURL = QStringLiteral("https://shop.vercel.app");
    entry.deploymentID = id;
    entry.outcome = QStringLiteral("live");
    entry.kind = QStringLiteral("fresh");
    entry.durationSec = 12;
    return entry;
}

} // namespace

TEST(DeployConfigFile, RoundTripsWithABackupAndSortedPrettyKeys)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QUrl url = QUrl::fromLocalFile(project);
    EXPECT_EQ(DeployConfig::load(url), std::nullopt);

    DeployConfig::save(DeployConfig::empty(), url);
    EXPECT_EQ(DeployConfig::load(url), DeployConfig::empty());
    DeployConfig::save(sampleConfig(), url);
    EXPECT_EQ(DeployConfig::load(url), sampleConfig());

    const QString path = project + QStringLiteral("/.nerim/deploy-config.json");
    const QByteArray text = test::readFile(path);
    EXPECT_TRUE(text.contains("\n    \"backendURL\""));
    EXPECT_LT(text.indexOf("\"backendURL\""), text.indexOf("\"version\""));
    EXPECT_FALSE(text.contains("backendAnonKey")); // absent optionals are left out
    EXPECT_EQ(DeployConfig::decode(test::readFile(path + QStringLiteral(".backup"))), DeployConfig::empty());
}

TEST(DeployConfigFile, StrictReadsFallBackToTheBackupAndForeignVersionsReadAsNothing)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QUrl url = QUrl::fromLocalFile(project);
    QStringList logged;
    const LogSink previous = setLogSink([&logged](const QString &line) { logged.append(line); });

    for (const char *bad : {R"({"version":1,"providers":["heroku"],"projectIDs":{},"envDecisions":{},"revision":0})",
                            R"({"version":1,"providers":[],"projectIDs":{},"envDecisions":{}})",
                            R"({"version":"1","providers":[],"projectIDs":{},"envDecisions":{},"revision":0})",
                            R"({"version":1,"providers":[],"projectIDs":{"a":1},"envDecisions":{},"revision":0})", "[]"}) {
        SCOPED_TRACE(bad);
        EXPECT_ANY_THROW(DeployConfig::decode(bad));
    }

    DeployConfig::save(sampleConfig(), url);
    DeployConfig newer = sampleConfig();
    newer.revision = 5;
    DeployConfig::save(newer, url);
    const QString path = DeployConfig::configPath(project);
    // A torn primary gives the backup's content.
    ASSERT_TRUE(test::writeFile(path, "{\"version\":1,"));
    EXPECT_EQ(DeployConfig::load(url), sampleConfig());

    // A file of another version is nobody's to read, not even through its backup.
    DeployConfig future = sampleConfig();
    future.version = 2;
    ASSERT_TRUE(test::writeFile(path, future.encode()));
    EXPECT_EQ(DeployConfig::load(url), std::nullopt);
    setLogSink(previous);
    EXPECT_TRUE(logged.join(QLatin1Char('\n')).contains(QLatin1String("version 2")));
}

TEST(DeployConfigFile, SaveFailsLoudlyForAMissingProjectFolder)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QUrl gone = QUrl::fromLocalFile(project + QStringLiteral("/moved-away"));
    EXPECT_ANY_THROW(DeployConfig::save(sampleConfig(), gone));
    EXPECT_FALSE(QDir(project + QStringLiteral("/moved-away")).exists());
}

TEST(DeployHistoryFile, AppendsReadBackLiveEntriesSkippingBadLines)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QUrl url = QUrl::fromLocalFile(project);
    EXPECT_TRUE(DeployHistoryEntry::recentLive(url, 5).isEmpty());

    DeployHistoryEntry stuck = liveEntry(QString());
    stuck.deploymentID.reset();
    stuck.outcome = QStringLiteral("stuck");
    stuck.reason = QStringLiteral("agent-exited-silent");
    for (int i = 1; i <= 4; ++i)
        DeployHistoryEntry::append(liveEntry(QStringLiteral("dpl_%1").arg(i)), url);
    DeployHistoryEntry::append(stuck, url);
    SerialFileWriter::shared().flush();

    const QString path = DeployHistoryEntry::historyPath(project);
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("{not json\n{\"timestamp\":\"t\",\"outcome\":\"live\"}\n");
    file.close();

    // The deployments before the one live now (dpl_4), the latest last.
    const auto recent = DeployHistoryEntry::recentLive(url, 2);
    ASSERT_EQ(recent.size(), 2);
    EXPECT_EQ(recent[0], liveEntry(QStringLiteral("dpl_2")));
    EXPECT_EQ(recent[1], liveEntry(QStringLiteral("dpl_3")));
    EXPECT_EQ(DeployHistoryEntry::recentLive(url, 10).size(), 3);
    EXPECT_EQ(DeployHistoryEntry::decode(stuck.jsonLine()), stuck);

    // Each later append keeps the file before it as the backup, bad lines included.
    DeployHistoryEntry::append(liveEntry(QStringLiteral("dpl_5")), url);
    SerialFileWriter::shared().flush();
    EXPECT_TRUE(test::readFile(path + QStringLiteral(".backup")).endsWith("{not json\n{\"timestamp\":\"t\",\"outcome\":\"live\"}\n"));
    EXPECT_EQ(DeployHistoryEntry::recentLive(url, 1).value(0).deploymentID, QStringLiteral("dpl_4"));
}

TEST(DeployHistoryFile, StaysUnderTheSizeCapDroppingTheOldestHalf)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QUrl url = QUrl::fromLocalFile(project);
    DeployHistoryEntry big = liveEntry(QStringLiteral("dpl_big"));
    big.reason = QString(100000, QLatin1Char('x'));
    for (int i = 0; i < 12; ++i)
        DeployHistoryEntry::append(big, url);
    DeployHistoryEntry::append(liveEntry(QStringLiteral("dpl_last")), url);
    SerialFileWriter::shared().flush();
    const QByteArray bytes = test::readFile(DeployHistoryEntry::historyPath(project));
    EXPECT_LE(bytes.size(), 1048576 + 1);
    EXPECT_LT(bytes.count('\n'), 13);
    // dpl_last is live now; the one before it is offered once.
    const QList<DeployHistoryEntry> points = DeployHistoryEntry::recentLive(url, 5);
    ASSERT_EQ(points.size(), 1);
    EXPECT_EQ(points.first().deploymentID, QStringLiteral("dpl_big"));
}

// A .env is read up to 1 MiB; a larger one is not read, and the checklist is
// told so rather than that there is no .env at all.
TEST(DeployProjectFilesRead, ADotEnvOverOneMiBIsReportedAsTooLargeNotMissing)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    EXPECT_FALSE(DeployProjectFiles::read(project).envFileTooLarge);

    QByteArray text = "API_KEY=1\n";
    text += QByteArray(DeployProjectFiles::maxEnvFileBytes - text.size(), '#');
    ASSERT_TRUE(test::writeFile(project + QStringLiteral("/.env"), text));
    DeployProjectFiles files = DeployProjectFiles::read(project);
    EXPECT_FALSE(files.envFileTooLarge);
    EXPECT_EQ(files.envVarNames, QStringList{QStringLiteral("API_KEY")});

    ASSERT_TRUE(test::writeFile(project + QStringLiteral("/.env"), text + "\nB=2\n"));
    files = DeployProjectFiles::read(project);
    EXPECT_TRUE(files.envFileTooLarge);
    EXPECT_TRUE(files.envVarNames.isEmpty());
    EXPECT_TRUE(files.envFilePath.isEmpty());
}

// The project's .env files and package.json are read where a link leads only
// when that is a file inside the project reached without a further link:
// nothing outside the project is read as the project's own.
TEST(DeployProjectFilesRead, LinkedFilesAreReadOnlyInsideTheProject)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString outside = test::makeTempDir(QStringLiteral("outside"));
    ASSERT_TRUE(test::writeFile(outside + QStringLiteral("/.env"), "OUTSIDE_SECRET=1\n"));
    ASSERT_TRUE(test::writeFile(outside + QStringLiteral("/package.json"), R"({"dependencies":{"left-pad":"1"}})"));
    ASSERT_TRUE(test::writeFile(project + QStringLiteral("/config/.env"), "INSIDE=1\n"));
    ASSERT_TRUE(test::plantLink(project + QStringLiteral("/.env"), QStringLiteral("config/.env")));
    ASSERT_TRUE(test::plantLink(project + QStringLiteral("/.env.local"), outside + QStringLiteral("/.env")));
    ASSERT_TRUE(test::plantLink(project + QStringLiteral("/elsewhere"), outside));
    ASSERT_TRUE(test::plantLink(project + QStringLiteral("/.env.production"), QStringLiteral("elsewhere/.env")));
    ASSERT_TRUE(test::plantLink(project + QStringLiteral("/package.json"), QStringLiteral("elsewhere/package.json")));

    const DeployProjectFiles files = DeployProjectFiles::read(project);
    EXPECT_EQ(files.envVarNames, QStringList{QStringLiteral("INSIDE")});
    EXPECT_EQ(files.declaredNames, QStringList{QStringLiteral("INSIDE")});
    EXPECT_TRUE(files.dependencies.isEmpty());
}
