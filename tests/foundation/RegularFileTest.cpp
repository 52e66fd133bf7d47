#include "foundation/BeneathFolder.h"
#include "foundation/JsonLines.h"
#include "foundation/RegularFile.h"
#include "PlantedFiles.h"
#include "TestEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace nerim;
using FinalLink = RegularFile::FinalLink;

namespace {

// The reason a read was refused, or "read: <content>", or "missing".
QString outcome(const QString &path, FinalLink link, qint64 maxBytes = RegularFile::maxReadBytes)
{
    try {
        const auto bytes = RegularFile::read(path, link, maxBytes);
        return bytes ? QStringLiteral("read: ") + QString::fromUtf8(*bytes) : QStringLiteral("missing");
    } catch (const RegularFile::ReadError &e) {
        return QString::fromUtf8(e.what());
    }
}

} // namespace

TEST(RegularFile, ReadsOnlyRegularFilesAndNeverWaitsOnWhatIsPlanted)
{
    const QString dir = test::makeTempDir();
    const auto at = [&](const char *name) { return dir + QLatin1Char('/') + QLatin1String(name); };
    ASSERT_TRUE(test::writeFile(at("plain.json"), "{}"));
    const QString outside = test::plantLinkToOutsideFile(at("link.json"), "secret");
    ASSERT_TRUE(test::plantFifo(at("pipe.json")));
    ASSERT_TRUE(test::plantLink(at("zero.json"), QStringLiteral("/dev/zero")));
    ASSERT_TRUE(test::plantLink(at("to-pipe.json"), at("pipe.json")));
    ASSERT_TRUE(test::plantLink(at("dangling.json"), at("nowhere.json")));
    ASSERT_TRUE(QDir().mkpath(at("folder.json")));
    ASSERT_TRUE(test::writeFile(at("file"), "x"));

    const QString link = QStringLiteral("it is a symbolic link, which is not followed");
    struct Case {
        const char *name;
        QString refusingLinks;
        QString followingLinks;
    };
    const Case cases[] = {
        {"plain.json", QStringLiteral("read: {}"), QStringLiteral("read: {}")},
        {"link.json", link, QStringLiteral("read: secret")},
        {"pipe.json", QStringLiteral("it is a named pipe, not a regular file"),
         QStringLiteral("it is a named pipe, not a regular file")},
        {"to-pipe.json", link, QStringLiteral("it is a named pipe, not a regular file")},
        {"zero.json", link, QStringLiteral("it is a device, not a regular file")},
        {"dangling.json", link, QStringLiteral("missing")},
        {"folder.json", QStringLiteral("it is a folder, not a regular file"),
         QStringLiteral("it is a folder, not a regular file")},
        {"missing.json", QStringLiteral("missing"), QStringLiteral("missing")},
        {"file/below.json", QStringLiteral("missing"), QStringLiteral("missing")},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(outcome(at(c.name), FinalLink::refuse), c.refusingLinks) << c.name;
        EXPECT_EQ(outcome(at(c.name), FinalLink::follow), c.followingLinks) << c.name;
    }
    EXPECT_EQ(test::readFile(outside), QByteArray("secret"));
}

TEST(RegularFile, SizeIsCappedAndReadErrorsAreReported)
{
    const QString dir = test::makeTempDir();
    const QString huge = dir + QStringLiteral("/panes.json");
    ASSERT_TRUE(test::plantSparseFile(huge, RegularFile::maxReadBytes + 1));
    EXPECT_EQ(outcome(huge, FinalLink::refuse),
              QStringLiteral("it is larger than 64 MiB, the most Nerim reads of one file"));
    ASSERT_TRUE(test::writeFile(dir + QStringLiteral("/small"), "12345"));
    EXPECT_EQ(outcome(dir + QStringLiteral("/small"), FinalLink::refuse, 5), QStringLiteral("read: 12345"));
    EXPECT_EQ(outcome(dir + QStringLiteral("/small"), FinalLink::refuse, 4),
              QStringLiteral("it is larger than 4 bytes, the most Nerim reads of one file"));

    // A regular file whose read fails at once (the kernel refuses to read
    // unmapped memory): the failure is reported, not taken as an empty file.
    EXPECT_EQ(outcome(QStringLiteral("/proc/self/mem"), FinalLink::refuse), QStringLiteral("Input/output error"));
}

TEST(ReadJSONLLines, PlantedFilesGiveNoLines)
{
    const QString dir = test::makeTempDir();
    ASSERT_TRUE(test::plantFifo(dir + QStringLiteral("/pipe.jsonl")));
    test::plantLinkToOutsideFile(dir + QStringLiteral("/link.jsonl"), "{\"secret\":1}\n");
    EXPECT_TRUE(readJSONLLines(dir + QStringLiteral("/pipe.jsonl")).isEmpty());
    EXPECT_TRUE(readJSONLLines(dir + QStringLiteral("/link.jsonl")).isEmpty());
}

TEST(RegularFile, APathBeneathAProjectNeedsNoLinkAndNamesTheOneItWouldNeed)
{
    for (const bool kernel : {true, false}) {
        SCOPED_TRACE(kernel ? "kernel resolution" : "step by step");
        detail::useKernelResolution(kernel);
        const QString project = test::makeTempDir(QStringLiteral("project"));
        ASSERT_TRUE(test::writeFile(project + QStringLiteral("/a/b/file"), "inside"));
        ASSERT_TRUE(test::plantLink(project + QStringLiteral("/link"), project + QStringLiteral("/a")));
        ASSERT_TRUE(test::plantLink(project + QStringLiteral("/a/b/final"), QStringLiteral("file")));
        const auto beneath = [&](const QString &path) {
            try {
                const auto bytes = RegularFile::readBeneath(project, path);
                return bytes ? QStringLiteral("read: ") + QString::fromUtf8(*bytes) : QStringLiteral("missing");
            } catch (const RegularFile::ReadError &e) {
                return QString::fromUtf8(e.what());
            }
        };
        EXPECT_EQ(beneath(QStringLiteral("a/b/file")), QStringLiteral("read: inside"));
        EXPECT_EQ(beneath(project + QStringLiteral("/a/./b/file")), QStringLiteral("read: inside"));
        EXPECT_EQ(beneath(QStringLiteral("a/gone/file")), QStringLiteral("missing"));
        EXPECT_EQ(beneath(QStringLiteral("link/b/file")),
                  QStringLiteral("link/b goes through link, which is a symbolic link Nerim does not follow inside a "
                                 "project"));
        EXPECT_EQ(beneath(QStringLiteral("a/b/final")), QStringLiteral("it is a symbolic link, which is not followed"));
        EXPECT_TRUE(beneath(QStringLiteral("a/../../x")).contains(QStringLiteral("is outside the project folder")));

        // Only the folders asked for are made, never through a link.
        EXPECT_THROW(BeneathFolder::open(project, QStringLiteral("n/m"), BeneathFolder::Create::last),
                     BeneathFolder::Missing);
        EXPECT_NO_THROW(BeneathFolder::open(project, QStringLiteral("n/m"), BeneathFolder::Create::all));
        EXPECT_TRUE(QFileInfo(project + QStringLiteral("/n/m")).isDir());
        EXPECT_THROW(BeneathFolder::open(project, QStringLiteral("link/new"), BeneathFolder::Create::all),
                     BeneathFolder::Refused);
        EXPECT_FALSE(QFileInfo::exists(project + QStringLiteral("/a/new")));
    }
    detail::useKernelResolution(true);
}
