// The user's own deploy records (deploy-records.json in Nerim's data folder):
// kept whole when Nerim processes record at once, never written over when
// they no longer read, and following a project folder that was renamed,
// without a planted identity taking another project's records.
#include "deploy/DeployConfig.h"
#include "deploy/DeployHistoryEntry.h"
#include "deploy/DeployOwnRecord.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/ProjectMetadata.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

using namespace nerim;

namespace {

// A project folder as Nerim leaves it once opened and deployed: its identity,
// and a deploy configuration naming the live address.
QString makeDeployedProject(const QString &name)
{
    const QString project = test::makeTempDir(name);
    EXPECT_TRUE(test::writeFile(project + QStringLiteral("/.nerim/metadata.json"),
                                ProjectMetadata::make(project, Timestamp::now()).encoded()));
    DeployConfig config;
    config.providers = {DeployProvider::vercel};
    config.frontendURL = QStringLiteral("https://shop.vercel.app");
    DeployConfig::save(config, QUrl::fromLocalFile(project));
    return project;
}

bool opensLive(const QString &folder)
{
    const std::optional<DeployConfig> config = DeployConfig::load(QUrl::fromLocalFile(folder));
    return config && config->liveURL().has_value();
}

// A deployed project whose record names its live address.
QString makeRecordedProject(const QString &name)
{
    const QString project = makeDeployedProject(name);
    DeployOwnRecord::update(QUrl::fromLocalFile(project),
                            [](DeployOwnRecord &record) { record.frontendURL = QStringLiteral("https://shop.vercel.app"); });
    return project;
}

bool copyWhole(const QString &from, const QString &to)
{
    return QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), from, to}) == 0;
}

QStringList setAsideFiles()
{
    const QFileInfo records(DeployOwnRecord::recordsPath());
    return records.dir().entryList({records.fileName() + QStringLiteral(".unreadable-*")}, QDir::Files, QDir::Name);
}

} // namespace

// Each process takes the lock for its read-change-write: none writes over a
// record the other made meanwhile.
TEST(DeployOwnRecordFile, TwoProcessesRecordingAtOnceLoseNoRecord)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    constexpr int each = 80;
    std::vector<std::unique_ptr<QProcess>> writers;
    for (const char *prefix : {"dpl_a", "dpl_b"}) {
        auto writer = std::make_unique<QProcess>();
        writer->setProcessChannelMode(QProcess::ForwardedChannels);
        writer->start(QStringLiteral(NERIM_DEPLOY_TEST_RECORD_WRITER),
                      {project, QString::fromUtf8(prefix), QString::number(each)});
        writers.push_back(std::move(writer));
    }
    for (const auto &writer : writers) {
        ASSERT_TRUE(writer->waitForFinished(120000));
        EXPECT_EQ(writer->exitCode(), 0);
    }
    const DeployOwnRecord record = DeployOwnRecord::load(QUrl::fromLocalFile(project));
    EXPECT_EQ(record.deploymentIDs.size(), 2 * each);
    for (const char *prefix : {"dpl_a", "dpl_b"})
        for (int i = 1; i <= each; ++i)
            EXPECT_TRUE(record.vouchesForDeployment(QStringLiteral("%1-%2").arg(QString::fromUtf8(prefix)).arg(i)))
                << prefix << i;
}

// A file that no longer reads is moved aside before anything is written in
// its place, also when its backup reads (and the records go on from the
// backup); a second one moved aside keeps the first.
TEST(DeployOwnRecordFile, AnUnreadableFileIsSetAsideUnderANameOfItsOwn)
{
    const QUrl url = QUrl::fromLocalFile(test::makeTempDir(QStringLiteral("project")));
    const QString path = DeployOwnRecord::recordsPath();
    DeployOwnRecord::update(url, [](DeployOwnRecord &record) { record.addDeployment(QStringLiteral("dpl_1")); });
    DeployOwnRecord::update(url, [](DeployOwnRecord &record) { record.addDeployment(QStringLiteral("dpl_2")); });

    ASSERT_TRUE(test::writeFile(path, "{first damage"));
    EXPECT_TRUE(DeployOwnRecord::load(url).vouchesForDeployment(QStringLiteral("dpl_1"))); // from the backup
    DeployOwnRecord::update(url, [](DeployOwnRecord &record) { record.addDeployment(QStringLiteral("dpl_3")); });
    ASSERT_EQ(setAsideFiles().size(), 1);
    const QString first = setAsideFiles().first();
    EXPECT_EQ(test::readFile(QFileInfo(path).dir().filePath(first)), QByteArray("{first damage"));
    EXPECT_EQ(DeployOwnRecord::load(url).deploymentIDs, (QStringList{QStringLiteral("dpl_1"), QStringLiteral("dpl_3")}));

    ASSERT_TRUE(test::writeFile(path, "{second damage"));
    DeployOwnRecord::update(url, [](DeployOwnRecord &record) { record.addDeployment(QStringLiteral("dpl_4")); });
    const QStringList aside = setAsideFiles();
    ASSERT_EQ(aside.size(), 2) << aside.join(' ').toStdString();
    EXPECT_TRUE(aside.contains(first));
    EXPECT_EQ(test::readFile(QFileInfo(path).dir().filePath(first)), QByteArray("{first damage"));
    QStringList contents;
    for (const QString &name : aside)
        contents.append(QString::fromUtf8(test::readFile(QFileInfo(path).dir().filePath(name))));
    EXPECT_TRUE(contents.contains(QStringLiteral("{second damage")));
    EXPECT_TRUE(DeployOwnRecord::load(url).vouchesForDeployment(QStringLiteral("dpl_4")));
}

// A renamed project folder still opens live, with its Roll back list, and its
// record moves to the new path; a folder holding a copy of the project's
// files, its identity included, gets nothing, before or after the rename.
TEST(DeployOwnRecordFile, ARenamedProjectOpensLiveAndAPlantedIdentityDoesNot)
{
    const QString project = makeDeployedProject(QStringLiteral("shop"));
    DeployOwnRecord::update(QUrl::fromLocalFile(project), [](DeployOwnRecord &record) {
        record.frontendURL = QStringLiteral("https://shop.vercel.app");
        record.addDeployment(QStringLiteral("dpl_before"));
        record.addDeployment(QStringLiteral("dpl_now"));
    });
    const QByteArray history =
        "{\"timestamp\":\"2026-12-07T10:00:00Z\",\"providers\":[\"vercel\"],\"frontendURL\":\"https://shop.vercel.app\","
        "\"deploymentID\":\"dpl_before\",\"outcome\":\"live\",\"kind\":\"fresh\",\"attempts\":1,\"durationSec\":3}\n"
        "{\"timestamp\":\"2026-12-07T11:00:00Z\",\"providers\":[\"vercel\"],\"frontendURL\":\"https://shop.vercel.app\","
        "\"deploymentID\":\"dpl_now\",\"outcome\":\"live\",\"kind\":\"redeploy\",\"attempts\":1,\"durationSec\":3}\n";
    ASSERT_TRUE(test::writeFile(DeployHistoryEntry::historyPath(project), history));

    // Another folder with the same files, the identity included.
    const QString planted = makeDeployedProject(QStringLiteral("planted"));
    ASSERT_TRUE(QFile::remove(planted + QStringLiteral("/.nerim/metadata.json")));
    ASSERT_TRUE(QFile::copy(project + QStringLiteral("/.nerim/metadata.json"), planted + QStringLiteral("/.nerim/metadata.json")));
    ASSERT_TRUE(test::writeFile(DeployHistoryEntry::historyPath(planted), history));
    EXPECT_FALSE(opensLive(planted));
    EXPECT_TRUE(DeployHistoryEntry::recentLive(QUrl::fromLocalFile(planted), 6).isEmpty());

    // Once the project has left its path, the copy still is not the project,
    // even when it is opened first.
    const QString renamed = QFileInfo(project).dir().filePath(QStringLiteral("shop-renamed"));
    ASSERT_TRUE(QDir().rename(project, renamed));
    EXPECT_FALSE(opensLive(planted));
    SerialFileWriter::shared().flush();
    EXPECT_TRUE(opensLive(renamed));
    const QList<DeployHistoryEntry> rollBack = DeployHistoryEntry::recentLive(QUrl::fromLocalFile(renamed), 6);
    ASSERT_EQ(rollBack.size(), 1);
    EXPECT_EQ(rollBack.first().deploymentID, QStringLiteral("dpl_before"));

    // Written under the new path in the background; the planted copy still gets nothing.
    SerialFileWriter::shared().flush();
    const QByteArray records = test::readFile(DeployOwnRecord::recordsPath());
    EXPECT_TRUE(records.contains(QFile::encodeName(DeployOwnRecord::projectKey(QUrl::fromLocalFile(renamed)))));
    EXPECT_FALSE(records.contains(QFile::encodeName(DeployOwnRecord::projectKey(QUrl::fromLocalFile(project)) + QStringLiteral("\""))));
    EXPECT_FALSE(opensLive(planted));
    EXPECT_TRUE(opensLive(renamed));
}

// The record goes with the folder it was made for, never with the path: a
// whole copy of the project (cp -a) gets nothing, beside the project or put
// at its former path once the project was renamed, even when the copy is
// opened first or deploys itself; a new project made at the former path gets
// nothing either, and its own deploy leaves the renamed project live.
TEST(DeployOwnRecordFile, TheRecordFollowsTheFolderNotItsPath)
{
    const auto renamed = [](const QString &project) {
        const QString to = project + QStringLiteral("-renamed");
        EXPECT_TRUE(QDir().rename(project, to));
        return to;
    };
    const auto recordOf = [](const QString &folder) { return DeployOwnRecord::load(QUrl::fromLocalFile(folder)); };
    const auto deployed = [](const QString &folder, const char *id) {
        DeployOwnRecord::update(QUrl::fromLocalFile(folder),
                                [id](DeployOwnRecord &record) { record.addDeployment(QString::fromUtf8(id)); });
    };
    {
        SCOPED_TRACE("a plain copy");
        const QString project = makeRecordedProject(QStringLiteral("shop"));
        const QString copy = project + QStringLiteral("-copy");
        ASSERT_TRUE(copyWhole(project, copy));
        EXPECT_FALSE(opensLive(copy));
        SerialFileWriter::shared().flush();
        EXPECT_TRUE(opensLive(project));
    }
    {
        SCOPED_TRACE("a copy at the former path of the renamed project");
        const QString project = makeRecordedProject(QStringLiteral("shop"));
        const QString moved = renamed(project);
        ASSERT_TRUE(copyWhole(moved, project));
        EXPECT_FALSE(opensLive(project));
        SerialFileWriter::shared().flush();
        EXPECT_TRUE(opensLive(moved));
        SerialFileWriter::shared().flush();
        EXPECT_FALSE(opensLive(project));
        deployed(project, "dpl_copy");
        EXPECT_FALSE(opensLive(project));
        EXPECT_TRUE(opensLive(moved));
        EXPECT_FALSE(recordOf(moved).vouchesForDeployment(QStringLiteral("dpl_copy")));
    }
    {
        SCOPED_TRACE("a new project at the former path, deploying before the renamed one opens");
        const QString project = makeRecordedProject(QStringLiteral("shop"));
        const QString moved = renamed(project);
        ASSERT_TRUE(QDir().rename(makeDeployedProject(QStringLiteral("fresh")), project));
        EXPECT_FALSE(opensLive(project));
        deployed(project, "dpl_fresh");
        EXPECT_FALSE(opensLive(project));
        EXPECT_TRUE(recordOf(project).vouchesForDeployment(QStringLiteral("dpl_fresh")));
        EXPECT_TRUE(opensLive(moved));
        EXPECT_FALSE(recordOf(moved).vouchesForDeployment(QStringLiteral("dpl_fresh")));
    }
    {
        SCOPED_TRACE("a record kept before records named their folder");
        const QString project = makeDeployedProject(QStringLiteral("older"));
        const QString key = DeployOwnRecord::projectKey(QUrl::fromLocalFile(project));
        SerialFileWriter::shared().flush(); // no record of the cases above is still being written
        ASSERT_TRUE(test::writeFile(DeployOwnRecord::recordsPath(),
                                    "{\"version\":1,\"projects\":{\"" + key.toUtf8() +
                                        "\":{\"frontendURL\":\"https://shop.vercel.app\",\"deploymentIDs\":[]}}}"));
        EXPECT_TRUE(opensLive(project));
        SerialFileWriter::shared().flush();
        const QString moved = renamed(project);
        ASSERT_TRUE(copyWhole(moved, project));
        EXPECT_FALSE(opensLive(project));
        EXPECT_TRUE(opensLive(moved));
    }
}
