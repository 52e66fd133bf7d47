#include "plans/PlansWorkspaceStore.h"

#include "TestAsync.h"
#include "PlantedFiles.h"
#include "TestEnvironment.h"
#include "foundation/RegularFile.h"
#include "foundation/UuidText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

QStringList names(const QList<PlansWorkspaceStore::File> &files)
{
    QStringList result;
    for (const auto &file : files)
        result << file.filename;
    return result;
}

} // namespace

TEST(PlansWorkspaceStore, ListCreatesTheFolderAndShowsOnlyTopLevelMarkdown)
{
    QLocale::setDefault(QLocale(QStringLiteral("en_US")));
    const QString project = test::makeTempDir(QStringLiteral("project"));
    PlansWorkspaceStore store(PlansWorkspaceStore::plansDirectoryFor(project));
    EXPECT_TRUE(test::await(store.listFiles()).isEmpty());
    const QString dir = project + QStringLiteral("/.nerim/plans");
    EXPECT_TRUE(QFileInfo(dir).isDir());

    for (const char *name : {"zeta.md", "Alpha.md", "beta.md", "OVERVIEW.md", "notes.txt", ".hidden.md",
                             "overview.md.backup", "overview.md.tmp", "research/deep.md"})
        ASSERT_TRUE(test::writeFile(dir + "/" + name, QByteArray("# ") + name));
    ASSERT_TRUE(test::writeFile(dir + "/bad.md", QByteArray("\xff\xfe not utf-8")));
    ASSERT_TRUE(QDir().mkpath(dir + "/folder.md"));
    EXPECT_TRUE(test::await(store.writeFile(QStringLiteral("overview.md"), QStringLiteral("# Overview"))));

    const auto files = test::await(store.listFiles());
    EXPECT_EQ(names(files), (QStringList{"overview.md", "Alpha.md", "beta.md", "OVERVIEW.md", "zeta.md"}));
    EXPECT_EQ(files[0].contents, QStringLiteral("# Overview"));
    EXPECT_GT(files[0].lastModified.secondsSinceReferenceDate(), 0);
}

TEST(PlansWorkspaceStore, WritesNestedFilesWithBackups)
{
    const QString dir = test::makeTempDir(QStringLiteral("plans"));
    PlansWorkspaceStore store(dir);
    EXPECT_TRUE(test::await(store.writeFile(QStringLiteral("decisions/routing.md"), QStringLiteral("v1 é"))));
    EXPECT_TRUE(test::await(store.writeFile(QStringLiteral("decisions/routing.md"), QStringLiteral("v2"))));
    EXPECT_EQ(test::readFile(dir + "/decisions/routing.md"), QByteArray("v2"));
    EXPECT_EQ(test::readFile(dir + "/decisions/routing.md.backup"), QString("v1 é").toUtf8());
    // A leading "/" stays inside the folder.
    EXPECT_TRUE(test::await(store.writeFile(QStringLiteral("//etc/x.md"), QStringLiteral("inside"))));
    EXPECT_EQ(test::readFile(dir + "/etc/x.md"), QByteArray("inside"));
}

TEST(PlansWorkspaceStore, RefusesNamesThatLeaveThePlansFolder)
{
    const QString root = test::makeTempDir(QStringLiteral("root"));
    const QString dir = root + QStringLiteral("/plans");
    const QString outside = root + QStringLiteral("/outside");
    ASSERT_TRUE(QDir().mkpath(dir));
    ASSERT_TRUE(QDir().mkpath(outside));
    ASSERT_TRUE(QFile::link(outside, dir + QStringLiteral("/linked")));
    ASSERT_TRUE(test::writeFile(outside + "/victim.md", "keep"));
    ASSERT_TRUE(QFile::link(outside + "/victim.md", dir + QStringLiteral("/victim.md")));
    PlansWorkspaceStore store(dir);
    test::LogCapture log;
    const QString refused[] = {
        QStringLiteral("../outside/x.md"), QStringLiteral("a/../../outside/x.md"), QStringLiteral("a//b.md"),
        QStringLiteral("linked/x.md"),     QStringLiteral("linked/new/x.md"),      QStringLiteral("victim.md"),
        QStringLiteral(""),                QStringLiteral("/"),                    QString(QStringLiteral("a")) + QChar(0) + QStringLiteral("b.md"),
    };
    for (const QString &name : refused) {
        EXPECT_FALSE(test::await(store.writeFile(name, QStringLiteral("x")))) << name.toStdString();
        // Log lines are escaped: the NUL of a name shows as "\x00".
        EXPECT_TRUE(log.contains(escapedForLog(QStringLiteral("[Nerim plans-workspace] write failed for %1: ").arg(name))))
            << name.toStdString();
    }
    EXPECT_EQ(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"victim.md"});
    EXPECT_EQ(test::readFile(outside + "/victim.md"), QByteArray("keep"));
}

TEST(PlansWorkspaceStore, ListsOnlyRegularFilesAndFollowsNoLink)
{
    const QString project = test::makeTempDir(QStringLiteral("project"));
    const QString dir = PlansWorkspaceStore::plansDirectoryFor(project);
    ASSERT_TRUE(test::writeFile(dir + QStringLiteral("/research/deep.md"), "# Deep"));
    ASSERT_TRUE(test::writeFile(dir + QStringLiteral("/plain.md"), "# Plain"));
    const QString secret = test::plantLinkToOutsideFile(dir + QStringLiteral("/notes.md"), "ANTHROPIC_API_KEY=sk-ant-x");
    ASSERT_TRUE(test::plantLink(dir + QStringLiteral("/inside.md"), dir + QStringLiteral("/research/deep.md")));
    ASSERT_TRUE(test::plantLink(dir + QStringLiteral("/relative.md"), QStringLiteral("research/deep.md")));
    ASSERT_TRUE(test::plantLink(dir + QStringLiteral("/escape.md"), QStringLiteral("../../outside.md")));
    ASSERT_TRUE(test::writeFile(project + QStringLiteral("/outside.md"), "project file, not a plan"));
    ASSERT_TRUE(test::plantFifo(dir + QStringLiteral("/pipe.md")));
    ASSERT_TRUE(test::plantLink(dir + QStringLiteral("/zero.md"), QStringLiteral("/dev/zero")));
    ASSERT_TRUE(test::plantSparseFile(dir + QStringLiteral("/huge.md"), RegularFile::maxReadBytes + 1));

    PlansWorkspaceStore store(dir);
    const auto files = test::await(store.listFiles());
    EXPECT_EQ(names(files), (QStringList{"plain.md"}));
    for (const auto &file : files)
        EXPECT_FALSE(file.contents.contains(QStringLiteral("sk-ant"))) << file.filename.toStdString();
    EXPECT_EQ(test::readFile(secret), QByteArray("ANTHROPIC_API_KEY=sk-ant-x"));
}

TEST(PlansWorkspaceStore, APlansFolderLeadingElsewhereIsRefusedForReadsAndWrites)
{
    struct Case {
        const char *name;
        const char *link; // relative to the project
        const char *leadsTo; // relative to the project; nullptr: a folder outside it
    };
    const Case cases[] = {
        {"plans folder linked elsewhere", ".nerim/plans", nullptr},
        {"plans folder linked inside the project", ".nerim/plans", "docs"},
        {"data folder linked elsewhere", ".nerim", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString project = test::makeTempDir(QStringLiteral("project"));
        const QString target = c.leadsTo ? project + QLatin1Char('/') + QLatin1String(c.leadsTo)
                                         : test::makeTempDir(QStringLiteral("elsewhere"));
        ASSERT_TRUE(test::writeFile(target + QStringLiteral("/secret.md"), "private"));
        if (QLatin1String(c.link) == QLatin1String(".nerim")) {
            ASSERT_TRUE(QDir().mkpath(target + QStringLiteral("/plans")));
        }
        ASSERT_TRUE(test::plantLink(project + QLatin1Char('/') + QLatin1String(c.link), target));

        PlansWorkspaceStore store(PlansWorkspaceStore::plansDirectoryFor(project));
        test::LogCapture log;
        EXPECT_TRUE(test::await(store.listFiles()).isEmpty());
        ASSERT_EQ(log.lines().size(), 1);
        EXPECT_TRUE(log.lines().first().startsWith(QStringLiteral("[Nerim plans-workspace] not reading the plans folder: ")));
        EXPECT_TRUE(log.lines().first().contains(QStringLiteral("is a symbolic link"))) << log.lines().first().toStdString();

        log.clear();
        EXPECT_FALSE(test::await(store.writeFile(QStringLiteral("new.md"), QStringLiteral("x"))));
        EXPECT_FALSE(test::await(store.writeOverview(QStringLiteral("goal"), {})));
        test::await(store.ensureDirectory());
        EXPECT_EQ(log.lines().size(), 2);
        QStringList expected{"secret.md"};
        if (QLatin1String(c.link) == QLatin1String(".nerim"))
            expected.prepend(QStringLiteral("plans"));
        EXPECT_EQ(QDir(target).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), expected);
        EXPECT_TRUE(QDir(target + QStringLiteral("/plans")).isEmpty());
    }
}

TEST(PlansWorkspaceStore, OverviewText)
{
    const Timestamp at = *Timestamp::fromIso8601(QStringLiteral("2026-12-07T08:15:42.75Z"));
    EXPECT_EQ(PlansWorkspaceStore::overviewText(QString(), {}, at),
              QStringLiteral("# Project overview\n\n---\n_Last updated: 2026-12-07T08:15:42Z_"));
    const QList<PlanStep> steps{
        {newUuid(), QStringLiteral("Scaffold"), QStringLiteral("line one\nline two"), PlanStep::Status::pending},
        {newUuid(), QStringLiteral("Ship %1"), QString(), PlanStep::Status::inProgress},
        {newUuid(), QStringLiteral("Done"), QString(), PlanStep::Status::done},
    };
    EXPECT_EQ(PlansWorkspaceStore::overviewText(QStringLiteral("A bakery site"), steps, at),
              QStringLiteral("# Project overview\n\n**Goal:** A bakery site\n\n## Steps\n\n"
                             "1. **[ ]** Scaffold\n   line one\n   line two\n\n"
                             "2. **[\u2026]** Ship %1\n\n3. **[x]** Done\n\n---\n_Last updated: 2026-12-07T08:15:42Z_"));

    const QString dir = test::makeTempDir(QStringLiteral("plans"));
    PlansWorkspaceStore store(dir);
    EXPECT_TRUE(test::await(store.writeOverview(QStringLiteral("g"), steps)));
    EXPECT_TRUE(test::readFile(dir + "/overview.md").startsWith("# Project overview\n\n**Goal:** g\n"));
}
