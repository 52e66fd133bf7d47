#include "launcher/LaunchOverride.h"
#include "launcher/ProjectTypeDetector.h"

#include "PlantedFiles.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

using nerim::LaunchOverride;

namespace {

QString project() { return nerim::test::makeTempDir(QStringLiteral("project")); }

void writeOverride(const QString &folder, const QByteArray &json)
{
    ASSERT_TRUE(nerim::test::writeFile(folder + QStringLiteral("/.nerim/launch-override.json"), json));
}

TEST(LaunchOverride, EncodesCompactInFieldOrderWithoutAbsentKeys)
{
    LaunchOverride full{1, QStringLiteral("npm run \"dev\""), QStringLiteral("web"), QStringLiteral("Starting your app"),
                        QStringLiteral("2026-01-02T03:04:05Z"), QStringLiteral("Written by the Repair agent on 2026-01-02T03:04:05Z.")};
    EXPECT_EQ(full.encode(),
              QByteArray(R"({"version":1,"shellCommand":"npm run \"dev\"","workingSubpath":"web","description":"Starting your app",)"
                         R"("writtenAt":"2026-01-02T03:04:05Z","notes":"Written by the Repair agent on 2026-01-02T03:04:05Z."})"));
    LaunchOverride minimal;
    minimal.shellCommand = QStringLiteral("make");
    minimal.writtenAt = QStringLiteral("now");
    EXPECT_EQ(minimal.encode(), QByteArray(R"({"version":1,"shellCommand":"make","writtenAt":"now"})"));
    EXPECT_EQ(LaunchOverride::decode(full.encode()), full);
    EXPECT_EQ(LaunchOverride::decode(minimal.encode()), minimal);
}

TEST(LaunchOverride, MissingFileIsNoOverrideWithoutALogLine)
{
    nerim::test::LogCapture log;
    EXPECT_FALSE(LaunchOverride::load(project()).has_value());
    EXPECT_TRUE(log.lines().isEmpty());
}

struct BadFile {
    const char *title;
    const char *json;
    const char *logFragment;
};

void PrintTo(const BadFile &c, std::ostream *os) { *os << c.title; }

class InvalidOverride : public ::testing::TestWithParam<BadFile> {};

TEST_P(InvalidOverride, IsIgnoredWithALogLineAndDetectionFallsBack)
{
    const QString folder = project();
    writeOverride(folder, GetParam().json);
    ASSERT_TRUE(nerim::test::writeFile(folder + QStringLiteral("/index.html"), "<p>hi</p>"));
    nerim::test::LogCapture log;
    EXPECT_FALSE(LaunchOverride::load(folder).has_value());
    EXPECT_TRUE(log.contains(QString::fromUtf8(GetParam().logFragment))) << log.lines().join('\n').toStdString();
    EXPECT_EQ(nerim::ProjectTypeDetector::detect(folder).shellCommand,
              QStringLiteral("python3 -m http.server 0 --bind 127.0.0.1"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, InvalidOverride,
    ::testing::Values(
        BadFile{"Version2", R"({"version":2,"shellCommand":"make","writtenAt":"x"})",
                "[Nerim launch-override] Unknown version 2 at "},
        BadFile{"NoWrittenAt", R"({"version":1,"shellCommand":"make"})", "[Nerim launch-override] Decode failed at "},
        BadFile{"NoCommand", R"({"version":1,"writtenAt":"x"})", "[Nerim launch-override] Decode failed at "},
        BadFile{"WrongType", R"({"version":"1","shellCommand":"make","writtenAt":"x"})", "Decode failed at "},
        BadFile{"NotJson", "{", "[Nerim launch-override] Decode failed at "},
        BadFile{"BlankCommand", R"({"version":1,"shellCommand":"  ","writtenAt":"x"})",
                "[Nerim launch-override] Decode failed at "}));

TEST(LaunchOverride, LogLineShowsAProjectPathWithPercentSignsAsWritten)
{
    const QString folder = nerim::test::makeTempDir(QStringLiteral("100%3 done"));
    writeOverride(folder, R"({"version":2,"shellCommand":"make","writtenAt":"x"})");
    nerim::test::LogCapture log;
    EXPECT_FALSE(LaunchOverride::load(folder).has_value());
    EXPECT_TRUE(log.contains(QStringLiteral("Unknown version 2 at ") + LaunchOverride::filePath(folder) +
                             QStringLiteral(" (expected 1)")))
        << log.lines().join('\n').toStdString();
}

TEST(LaunchOverride, ExtraKeysAndPlanRules)
{
    const QString folder = project();
    writeOverride(folder, R"({"extra":true,"version":1,"shellCommand":"npm start","workingSubpath":"web/app",)"
                          R"("description":"","writtenAt":"x"})");
    const auto override = LaunchOverride::load(folder);
    ASSERT_TRUE(override.has_value());
    const nerim::LaunchPlan plan = override->launchPlan(folder);
    EXPECT_EQ(plan.workingDirectory, folder + QStringLiteral("/web/app"));
    EXPECT_EQ(plan.shellCommand, QStringLiteral("npm start"));
    EXPECT_EQ(plan.humanDescription, QString()); // present but empty stays empty

    LaunchOverride plain;
    plain.shellCommand = QStringLiteral("make");
    plain.workingSubpath = QString();
    EXPECT_EQ(plain.launchPlan(folder).workingDirectory, folder);
    EXPECT_EQ(plain.launchPlan(folder).humanDescription, QStringLiteral("Starting your app"));
}

TEST(LaunchOverride, SaveCreatesDataFolderAndKeepsPreviousAsBackup)
{
    const QString folder = project();
    LaunchOverride first;
    first.shellCommand = QStringLiteral("first");
    first.writtenAt = QStringLiteral("1");
    first.save(folder);
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/.nerim")).isDir());
    LaunchOverride second = first;
    second.shellCommand = QStringLiteral("second");
    second.save(folder);
    EXPECT_EQ(LaunchOverride::load(folder)->shellCommand, QStringLiteral("second"));
    EXPECT_EQ(nerim::test::readFile(LaunchOverride::backupFilePath(folder)), first.encode());
    EXPECT_EQ(LaunchOverride::backupFilePath(folder), folder + QStringLiteral("/.nerim/launch-override.json.backup"));
}

TEST(LaunchOverride, PlantedFilesAreNeitherWrittenThroughNorFollowed)
{
    // Links at the file, its backup and the temporary names: replaced, never written through.
    const QString folder = project();
    const QString path = LaunchOverride::filePath(folder);
    const nerim::test::PlantedLinks links(nerim::test::writerNames(path, LaunchOverride::backupFilePath(folder)));
    LaunchOverride override;
    override.writtenAt = QStringLiteral("now");
    for (const char *command : {"first", "second", "third"}) {
        override.shellCommand = QString::fromLatin1(command);
        override.save(folder);
    }
    links.expectOutsideUntouched();
    EXPECT_EQ(LaunchOverride::load(folder)->shellCommand, QStringLiteral("third"));

    // A link or a pipe in the file's place is not read (and not waited on).
    for (const bool pipe : {false, true}) {
        const QString planted = project();
        const QString plantedPath = LaunchOverride::filePath(planted);
        if (pipe) {
            ASSERT_TRUE(nerim::test::plantFifo(plantedPath));
        } else {
            nerim::test::plantLinkToOutsideFile(plantedPath, override.encode());
        }
        nerim::test::LogCapture log;
        EXPECT_FALSE(LaunchOverride::load(planted).has_value());
        EXPECT_TRUE(log.contains(QStringLiteral("[Nerim launch-override] Decode failed at %1: it is ").arg(plantedPath)));
    }
}

TEST(LaunchOverride, ADataFolderLinkedOutOfTheProjectIsSetAsideNotWrittenTo)
{
    const QString folder = project();
    const QString elsewhere = nerim::test::makeTempDir(QStringLiteral("elsewhere"));
    ASSERT_TRUE(nerim::test::writeFile(elsewhere + QStringLiteral("/launch-override.json"), "the user's own"));
    ASSERT_TRUE(nerim::test::plantLink(folder + QStringLiteral("/.nerim"), elsewhere));
    LaunchOverride override;
    override.shellCommand = QStringLiteral("evil");
    override.writtenAt = QStringLiteral("now");
    override.save(folder);
    EXPECT_EQ(LaunchOverride::load(folder), override);
    EXPECT_EQ(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{"launch-override.json"});
    EXPECT_EQ(nerim::test::readFile(elsewhere + QStringLiteral("/launch-override.json")), QByteArray("the user's own"));
}

TEST(ProjectTypeDetector, ProjectFilesThatAreNotRegularFilesAreSkippedNotWaitedOn)
{
    const QString folder = project();
    ASSERT_TRUE(nerim::test::plantFifo(folder + QStringLiteral("/package.json")));
    ASSERT_TRUE(nerim::test::plantFifo(folder + QStringLiteral("/app.py")));
    EXPECT_TRUE(nerim::ProjectTypeDetector::packageScripts(folder + QStringLiteral("/package.json")).isEmpty());
    EXPECT_FALSE(nerim::ProjectTypeDetector::pythonImports(QStringLiteral("flask"), folder, {QStringLiteral("app.py")}));
}

} // namespace
