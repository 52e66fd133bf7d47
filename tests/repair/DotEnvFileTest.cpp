// The project's .env as the repair loop writes it: values that dotenv readers
// and a shell read back intact, the file's mode, links, and files that must be
// left alone.
#include "repair/DotEnvFile.h"

#include "PlantedFiles.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace nerim;
using namespace nerim::test;

namespace {

const QByteArray headerLine = DotEnvFile::header.toUtf8() + '\n';

mode_t modeOf(const QString &path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

// What a shell that sources the file sees as the variable's value.
QString sourcedValue(const QString &folder, const QString &name)
{
    QProcess shell;
    shell.setWorkingDirectory(folder);
    shell.start(QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"), QStringLiteral("set -a; . ./.env; printf %s \"$%1\"").arg(name)});
    shell.waitForFinished(10000);
    return QString::fromUtf8(shell.readAllStandardOutput());
}

} // namespace

TEST(DotEnvFile, EveryKindOfValueReadsBackIntact)
{
    struct Case {
        const char *value;
        const char *written; // after "NAME="
    };
    const Case cases[] = {
        {"sk-plain_value.123", "sk-plain_value.123"},
        {"two words", "'two words'"},
        {"pa#ss", "'pa#ss'"},
        {"$HOME", "'$HOME'"},
        {"back\\slash", "'back\\slash'"},
        {"say \"hi\"", "'say \"hi\"'"},
        {"run `id`", "'run `id`'"},
        // A single quote: double quotes, which every reader takes as they are
        // when nothing else in the value means something there.
        {"it's", "\"it's\""},
        {"it's #1 & more!", "\"it's #1 & more!\""},
        {"user@host:5432/db?x=1%20+,-", "'user@host:5432/db?x=1%20+,-'"},
        {"", ""},
    };
    for (const Case &c : cases) {
        const QString value = QString::fromUtf8(c.value);
        SCOPED_TRACE(c.value);
        EXPECT_EQ(DotEnvFile::encodeValue(value), QString::fromUtf8(c.written));

        const QString folder = makeTempDir(QStringLiteral("project"));
        ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("SECRET_VALUE"), value), std::nullopt);
        EXPECT_EQ(readFile(folder + QStringLiteral("/.env")),
                  headerLine + "SECRET_VALUE=" + QByteArray(c.written) + '\n');
        EXPECT_EQ(sourcedValue(folder, QStringLiteral("SECRET_VALUE")), value);
    }
    // Line breaks typed or pasted with the value are not part of it.
    EXPECT_EQ(DotEnvFile::encodeValue(QStringLiteral("abc\r\n")), QStringLiteral("abc"));
    EXPECT_EQ(DotEnvFile::encodeValue(QStringLiteral("a\nb c\r")), QStringLiteral("'ab c'"));
}

// Values that no form of a .env line gives back unchanged to a shell, Node's
// dotenv and python-dotenv alike are refused with a sentence that does not
// hold the value, and the file stays as it was.
TEST(DotEnvFile, AValueNoReaderCouldReadBackIsRefused)
{
    struct Case {
        QString value;
        QString reason; // a part of the sentence
    };
    const Case cases[] = {
        {QStringLiteral("it's $5 \"off\" \\ `now`"), QStringLiteral("' together with \", $ and `,")},
        {QStringLiteral("it's \"quoted\""), QStringLiteral("' together with \",")},
        {QStringLiteral("it'\"s\r\n"), QStringLiteral("' together with \",")},
        {QStringLiteral("it's $HOME"), QStringLiteral("' together with $,")},
        {QStringLiteral("it's \\n"), QStringLiteral("' together with \\,")},
        {QStringLiteral("it\\'s"), QStringLiteral("' together with \\,")},
        {QStringLiteral("it's\\"), QStringLiteral("' together with \\,")},
        {QStringLiteral("end\\"), QStringLiteral("backslash")},
        {QStringLiteral("two\\\\in a row"), QStringLiteral("backslash")},
        {QStringLiteral("${HOME}"), QStringLiteral("${…}")},
        {QStringLiteral("pre${A:-b}post"), QStringLiteral("${…}")},
        {QStringLiteral("nul") + QChar(0) + QStringLiteral("inside"), QStringLiteral("NUL")},
    };
    for (const Case &c : cases) {
        const QString &value = c.value;
        SCOPED_TRACE(value.toStdString());
        QString why;
        EXPECT_EQ(DotEnvFile::encodeValue(value, &why), std::nullopt);
        EXPECT_TRUE(why.contains(c.reason)) << why.toStdString();

        const QString folder = makeTempDir(QStringLiteral("project"));
        const QString env = folder + QStringLiteral("/.env");
        ASSERT_TRUE(writeFile(env, "PORT=1\n"));
        const std::optional<QString> error = DotEnvFile::append(folder, QStringLiteral("SECRET"), value);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, why + QStringLiteral("; .env was left as it is"));
        EXPECT_FALSE(error->contains(value));
        EXPECT_EQ(readFile(env), QByteArray("PORT=1\n"));
    }
    // "${" without a closing brace, or with a colon but no ":-", is no expansion.
    EXPECT_EQ(DotEnvFile::encodeValue(QStringLiteral("${HOME")), QStringLiteral("'${HOME'"));
    EXPECT_EQ(DotEnvFile::encodeValue(QStringLiteral("${a:b}")), QStringLiteral("'${a:b}'"));
}

TEST(DotEnvFile, ANewFileIsPrivateAndAnExistingOneKeepsItsModeAndLines)
{
    const QString folder = makeTempDir(QStringLiteral("project"));
    const QString env = folder + QStringLiteral("/.env");
    ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("one")), std::nullopt);
    EXPECT_EQ(readFile(env), headerLine + "API_KEY=one\n");
    EXPECT_EQ(modeOf(env), 0600u);

    // The user's own file, without a final line break and readable by others
    // (as the Repair agent's placeholder file is): once it holds a secret,
    // only its owner can read it.
    ASSERT_TRUE(writeFile(env, "PORT=3000"));
    ASSERT_EQ(::chmod(QFile::encodeName(env).constData(), 0644), 0);
    ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("two")), std::nullopt);
    EXPECT_EQ(readFile(env), QByteArray("PORT=3000\nAPI_KEY=two\n"));
    EXPECT_EQ(modeOf(env), 0600u);
    // The owner's own bits are kept, those of group and others dropped.
    ASSERT_EQ(::chmod(QFile::encodeName(env).constData(), 0775), 0);
    ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("OTHER"), QStringLiteral("x")), std::nullopt);
    EXPECT_EQ(modeOf(env), 0700u);
    ASSERT_TRUE(writeFile(env, "PORT=3000\nAPI_KEY=two\n"));
    // A second value for the same name comes after the first.
    ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("three")), std::nullopt);
    EXPECT_EQ(readFile(env), QByteArray("PORT=3000\nAPI_KEY=two\nAPI_KEY=three\n"));

    // An empty file is begun with the header.
    ASSERT_TRUE(writeFile(env, ""));
    ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("_X1"), QStringLiteral("v")), std::nullopt);
    EXPECT_EQ(readFile(env), headerLine + "_X1=v\n");

    // Nothing else is left in the folder: no backup copy of the secrets, no temporary file.
    EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral(".env")});
}

TEST(DotEnvFile, ANameThatIsNoVariableIsRefused)
{
    const QString folder = makeTempDir(QStringLiteral("project"));
    for (const char *name : {"1KEY", "MY-KEY", "KEY NAME", "KEY=1", "", "K\u00c9Y", "KEY\n", "KEY\nrm -rf ~"}) {
        SCOPED_TRACE(name);
        const std::optional<QString> error = DotEnvFile::append(folder, QString::fromUtf8(name), QStringLiteral("v"));
        ASSERT_TRUE(error.has_value());
        EXPECT_TRUE(error->contains(QStringLiteral("variable name")));
    }
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/.env")));
}

TEST(DotEnvFile, ALinkIsFollowedOnlyToAFileInsideTheProject)
{
    const QString folder = makeTempDir(QStringLiteral("project"));
    const QString env = folder + QStringLiteral("/.env");

    // Inside, to a local .env file: it gets the line, the link stays a link.
    ASSERT_TRUE(writeFile(folder + QStringLiteral("/.env.local"), "PORT=1\n"));
    ASSERT_TRUE(plantLink(env, QStringLiteral(".env.local")));
    ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k")), std::nullopt);
    EXPECT_TRUE(QFileInfo(env).isSymLink());
    EXPECT_EQ(readFile(folder + QStringLiteral("/.env.local")), QByteArray("PORT=1\nAPI_KEY=k\n"));

    // Inside, to any other file (one the site serves, a committed example):
    // refused, naming where the link leads, and nothing is written.
    for (const char *target : {"public/robots.txt", ".env.example", "config/app.env", ".envrc"}) {
        SCOPED_TRACE(target);
        const QString path = folder + QLatin1Char('/') + QLatin1String(target);
        ASSERT_TRUE(writeFile(path, "User-agent: *\n"));
        QFile::remove(env);
        ASSERT_TRUE(plantLink(env, QLatin1String(target)));
        const std::optional<QString> refusedInside =
            DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k"));
        ASSERT_TRUE(refusedInside.has_value());
        EXPECT_TRUE(refusedInside->startsWith(QStringLiteral(".env is a link to %1, which is not a local .env file")
                                                  .arg(QLatin1String(target))))
            << refusedInside->toStdString();
        EXPECT_EQ(readFile(path), QByteArray("User-agent: *\n"));
    }

    // Outside: refused, and the outside file is as it was.
    QFile::remove(env);
    const QString outside = plantLinkToOutsideFile(env, "HOME_SECRET=1\n");
    const std::optional<QString> refused = DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k"));
    ASSERT_TRUE(refused.has_value());
    EXPECT_TRUE(refused->contains(QStringLiteral("outside the project")));
    EXPECT_EQ(readFile(outside), QByteArray("HOME_SECRET=1\n"));
    EXPECT_EQ(modeOf(outside), 0640u);
    EXPECT_TRUE(QFileInfo(env).isSymLink());

    // Leading nowhere: refused, nothing is created.
    QFile::remove(env);
    ASSERT_TRUE(plantLink(env, folder + QStringLiteral("/missing.env")));
    EXPECT_TRUE(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k")).has_value());
    EXPECT_FALSE(QFileInfo::exists(folder + QStringLiteral("/missing.env")));
}

TEST(DotEnvFile, AFileThatCannotBeReadIsNeverReplaced)
{
    const QString folder = makeTempDir(QStringLiteral("project"));
    const QString env = folder + QStringLiteral("/.env");

    // Not UTF-8 text: the user's bytes stay.
    const QByteArray latin1("NAME=Jos\xe9\n");
    ASSERT_TRUE(writeFile(env, latin1));
    const std::optional<QString> notText = DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k"));
    ASSERT_TRUE(notText.has_value());
    EXPECT_TRUE(notText->contains(QStringLiteral("UTF-8")));
    EXPECT_EQ(readFile(env), latin1);

    // A named pipe is neither waited on nor replaced.
    QFile::remove(env);
    ASSERT_TRUE(plantFifo(env));
    EXPECT_TRUE(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k")).has_value());
    EXPECT_FALSE(QFileInfo(env).isFile());

    // Nor is a folder of that name.
    ::unlink(QFile::encodeName(env).constData());
    ASSERT_TRUE(QDir().mkpath(env));
    EXPECT_TRUE(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k")).has_value());
    EXPECT_TRUE(QFileInfo(env).isDir());
}

// Values a shell would otherwise run, redirect, expand or cut short: sourced
// by bash, each gives back exactly the value (line breaks removed), and no
// command runs. The few that dotenv readers would take differently are
// refused instead, and leave no file.
TEST(DotEnvFile, HostileValuesAreReadBackByAShellAsTheyWere)
{
    const char *values[] = {
        "Tr0ub4dor&3", "x;id", "a>b", "a<b", "a|id", "$(id)", "(sub)", "~/x", "~", "a*", "[ab]", "{a,b}", "!x",
        "'", "''", "a'b'c", "\"", "\\", "end\\", "\\'", "tab\there", "x=y", "#start", " lead", "trail ",
        "caf\u00e9 \u2014 \u65e5\u672c", "multi\nline\r\nvalue", "a'\nid'",
    };
    const QSet<QString> refused{QStringLiteral("\\"), QStringLiteral("end\\"), QStringLiteral("\\'")};
    for (const char *raw : values) {
        const QString value = QString::fromUtf8(raw);
        SCOPED_TRACE(raw);
        const QString folder = makeTempDir(QStringLiteral("project"));
        if (refused.contains(value)) {
            EXPECT_TRUE(DotEnvFile::append(folder, QStringLiteral("SECRET"), value).has_value());
            EXPECT_TRUE(QDir(folder).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
            continue;
        }
        ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("SECRET"), value), std::nullopt);
        QString expected = value;
        expected.remove(QLatin1Char('\r'));
        expected.remove(QLatin1Char('\n'));
        EXPECT_EQ(sourcedValue(folder, QStringLiteral("SECRET")), expected);
        // Nothing but .env is in the folder: no file made by a redirection.
        EXPECT_EQ(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                  QStringList{QStringLiteral(".env")});
    }
}

// The earlier content stays byte for byte, and whatever it ends with, the new
// line is read as a line of its own.
TEST(DotEnvFile, EarlierBytesStayAndTheNewLineStandsAlone)
{
    struct Case {
        const char *before;
        const char *after; // the whole file after appending API_KEY=k
    };
    const Case cases[] = {
        {"\xEF\xBB\xBFPORT=1\n", "\xEF\xBB\xBFPORT=1\nAPI_KEY=k\n"},
        {"\xEF\xBB\xBF", "\xEF\xBB\xBF\n# Managed by Nerim's Repair agent \xE2\x80\x94 feel free to edit.\nAPI_KEY=k\n"},
        {"PORT=1\r\n", "PORT=1\r\nAPI_KEY=k\n"},
        {"PORT=1", "PORT=1\nAPI_KEY=k\n"},
        {"PATH_PART=a\\", "PATH_PART=a\\\n\nAPI_KEY=k\n"},
        {"PATH_PART=a\\\n", "PATH_PART=a\\\n\nAPI_KEY=k\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before);
        const QString folder = makeTempDir(QStringLiteral("project"));
        const QString env = folder + QStringLiteral("/.env");
        ASSERT_TRUE(writeFile(env, c.before));
        ASSERT_EQ(DotEnvFile::append(folder, QStringLiteral("API_KEY"), QStringLiteral("k")), std::nullopt);
        EXPECT_EQ(readFile(env), QByteArray(c.after));
        EXPECT_EQ(sourcedValue(folder, QStringLiteral("API_KEY")), QStringLiteral("k"));
    }
}
