#include "plans/ProjectFileTree.h"

#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <gtest/gtest.h>

using namespace nerim;

namespace {

void makeFile(const QString &path) { ASSERT_TRUE(test::writeFile(path, "x")); }
void makeDir(const QString &path) { ASSERT_TRUE(QDir().mkpath(path)); }

class ProjectFileTree : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QStringLiteral("en_US"))); }
    QString project = test::makeTempDir(QStringLiteral("project"));
};

} // namespace

TEST_F(ProjectFileTree, EmptyHiddenOnlyOrMissingFolderGivesNothing)
{
    EXPECT_EQ(buildProjectFileTree(project), QString());
    makeFile(project + "/.env");
    makeDir(project + "/.git/objects");
    EXPECT_EQ(buildProjectFileTree(project), QString());
    EXPECT_EQ(buildProjectFileTree(project + "/missing"), QString());
}

TEST_F(ProjectFileTree, ListsFoldersFirstExpandsSourceFoldersAndSkipsToolFolders)
{
    makeFile(project + "/node_modules/react/index.js");
    makeFile(project + "/src/main.ts");
    makeFile(project + "/src/.secret");
    makeFile(project + "/src/node_modules/x");
    makeFile(project + "/src/app/page.tsx"); // second level: listed, not expanded
    makeFile(project + "/package.json");
    makeFile(project + "/alpha.txt");
    makeFile(project + "/Beta");
    makeFile(project + "/zeta/inner.txt");
    makeFile(project + "/App/x.ts"); // case-sensitive: not expanded
    makeFile(project + "/app");      // a file named like an expanded folder
    makeFile(project + "/dist/bundle.js");
    QFile::link(project + "/src", project + "/lib"); // a link counts as a file
    EXPECT_EQ(buildProjectFileTree(project),
              QStringLiteral("App/\nsrc/\n  app/\n  main.ts\nzeta/\nalpha.txt\napp\nBeta\nlib\npackage.json"));
}

TEST_F(ProjectFileTree, ExpandedFolderShowsTwelveEntriesThenASummary)
{
    for (int i = 0; i < 12; ++i)
        makeFile(project + QStringLiteral("/components/c%1.tsx").arg(i, 2, 10, QLatin1Char('0')));
    QString tree = buildProjectFileTree(project);
    EXPECT_EQ(tree.count(QLatin1Char('\n')), 12);
    EXPECT_FALSE(tree.contains(QStringLiteral("more)")));

    makeFile(project + "/components/c12.tsx");
    makeFile(project + "/components/c13.tsx");
    makeDir(project + "/components/build"); // skipped, but counts toward the twelve
    tree = buildProjectFileTree(project);
    const QStringList lines = tree.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 13);
    EXPECT_EQ(lines[1], QStringLiteral("  c00.tsx")); // the folder "build" sorts first and is skipped
    EXPECT_EQ(lines[11], QStringLiteral("  c10.tsx"));
    EXPECT_EQ(lines[12], QStringLiteral("  \u2026 (3 more)"));
}

TEST_F(ProjectFileTree, StaysWithinTheByteBudget)
{
    // 100 top-level files of 60 bytes of UTF-8 each (20 three-byte letters).
    const QString letters = QString(20, QChar(0x4E2D));
    for (int i = 0; i < 100; ++i)
        makeFile(project + QStringLiteral("/%1%2").arg(letters).arg(i, 3, 10, QLatin1Char('0')));
    const QString tree = buildProjectFileTree(project);
    const QStringList lines = tree.split(QLatin1Char('\n'));
    // Each line costs 63 + 1 bytes: 64 lines fill exactly 4096.
    EXPECT_EQ(lines.size(), 64);
    EXPECT_EQ(tree.toUtf8().size(), 4095);
    EXPECT_EQ(lines.last(), letters + QStringLiteral("063"));
}

TEST_F(ProjectFileTree, ChildLineThatDoesNotFitEndsOnlyItsFolder)
{
    // Sixteen top-level folders of 252 bytes a line leave 64 bytes: "src/" fits,
    // its long child does not, and the short file after it still does.
    const QString longPrefix = QStringLiteral("a") + QString(247, QLatin1Char('x'));
    for (int i = 0; i < 16; ++i)
        makeDir(project + QStringLiteral("/%1%2").arg(longPrefix).arg(i, 2, 10, QLatin1Char('0')));
    makeFile(project + "/src/" + QString(250, QLatin1Char('y')));
    makeFile(project + "/zz.txt");
    const QString tree = buildProjectFileTree(project);
    EXPECT_EQ(tree.split(QLatin1Char('\n')).size(), 18);
    EXPECT_TRUE(tree.endsWith(QStringLiteral("15/\nsrc/\nzz.txt"))) << tree.right(300).toStdString();
}
