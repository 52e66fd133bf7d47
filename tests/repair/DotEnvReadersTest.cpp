// The .env the repair loop writes, read back by the programs that read it in
// projects: a shell that sources it, Node's dotenv and python-dotenv. Every
// value that is written must come back exactly from each of them. A reader
// that is not installed is skipped with a note: Node's dotenv is looked for
// where NERIM_NODE_DOTENV points (the package's folder, e.g. after
// `npm install dotenv` in a scratch folder) and else where Node finds it by
// itself; python-dotenv is Debian's python3-dotenv or any python3 on PATH
// that has it.
#include "repair/DotEnvFile.h"

#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <cstdio>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

// Everything a secret may hold that some reader gives a meaning of its own:
// quotes of each kind, shell syntax, comment marks, escapes, white space at
// the ends, text beyond ASCII, control characters.
const QStringList &values()
{
    static const QStringList list{
        QStringLiteral("sk-plain_value.123"), QString(), QStringLiteral("two words"), QStringLiteral("pa#ss"),
        QStringLiteral("a #b"), QStringLiteral("#start"), QStringLiteral("x #y"), QStringLiteral("$HOME"),
        QStringLiteral("$"), QStringLiteral("a$"), QStringLiteral("${a:b}"), QStringLiteral("${open"),
        QStringLiteral("back\\slash"), QStringLiteral("\\n literally"), QStringLiteral("x\\ny"),
        QStringLiteral("say \"hi\""), QStringLiteral("\""), QStringLiteral("\"dq\""), QStringLiteral("run `id`"),
        QStringLiteral("`bt`"), QStringLiteral("it's"), QStringLiteral("'"), QStringLiteral("''"),
        QStringLiteral("a'b'c"), QStringLiteral("'quoted'"), QStringLiteral("'lead"), QStringLiteral("trail'"),
        QStringLiteral(" it's "), QStringLiteral("it's!"), QStringLiteral("it's #1"), QStringLiteral("it's \\d"),
        QStringLiteral("it's ~ & | ; < > ( ) * ?"), QStringLiteral("Tr0ub4dor&3"), QStringLiteral("x;id"),
        QStringLiteral("$(id)"), QStringLiteral("~/x"), QStringLiteral("!x"), QStringLiteral("tab\there"),
        QStringLiteral("x=y"), QStringLiteral("=x"), QStringLiteral(" lead"), QStringLiteral("trail "),
        QStringLiteral("caf\u00e9 \u2014 \u65e5\u672c \U0001F600"), QStringLiteral("\u00a0nbsp\u00a0"),
        QStringLiteral("ls\u2028ps\u2029"), QStringLiteral("\x1B[31mred"), QStringLiteral("\x0B\x0C"),
        QStringLiteral("user@host:5432/db?x=1%20+,-"), QStringLiteral("multi\nline\r\nvalue"),
        QStringLiteral("a'\nid'"),
    };
    return list;
}

QString nameOf(qsizetype i) { return QStringLiteral("SECRET_%1").arg(i); }

// The value each reader should give: what was typed, without line breaks.
QString expectedValue(QString value)
{
    value.remove(QLatin1Char('\r'));
    value.remove(QLatin1Char('\n'));
    return value;
}

class DotEnvReaders : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = makeTempDir(QStringLiteral("project"));
        for (qsizetype i = 0; i < values().size(); ++i)
            ASSERT_EQ(DotEnvFile::append(m_folder, nameOf(i), values().at(i)), std::nullopt)
                << values().at(i).toStdString();
    }

    // Runs `program` in the project folder; its standard output, or nothing
    // when it did not end well.
    std::optional<QByteArray> run(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.setWorkingDirectory(m_folder);
        process.start(program, arguments);
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0) {
            m_lastError = QString::fromUtf8(process.readAllStandardError());
            return std::nullopt;
        }
        return process.readAllStandardOutput();
    }

    // Compares what a reader gave (name to value) with every value written.
    void expectAllReadBack(const QJsonObject &read, const char *reader)
    {
        for (qsizetype i = 0; i < values().size(); ++i) {
            const QJsonValue got = read.value(nameOf(i));
            EXPECT_TRUE(got.isString()) << reader << " lost " << values().at(i).toStdString();
            EXPECT_EQ(got.toString(), expectedValue(values().at(i)))
                << reader << " read it differently; the line is " << lineFor(i).toStdString();
        }
    }

    QString lineFor(qsizetype i) const
    {
        for (const QString &line : QString::fromUtf8(readFile(m_folder + QStringLiteral("/.env"))).split(u'\n'))
            if (line.startsWith(nameOf(i) + QLatin1Char('=')))
                return line;
        return QString();
    }

    QString m_folder;
    QString m_lastError;
};

} // namespace

TEST_F(DotEnvReaders, AShellThatSourcesTheFileReadsEveryValueBack)
{
    QStringList names;
    for (qsizetype i = 0; i < values().size(); ++i)
        names.append(nameOf(i));
    // Each value followed by a NUL byte, which no value holds.
    const std::optional<QByteArray> out =
        run(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), QStringLiteral("set -a; . ./.env; for n in %1; do "
                                                                                "printf '%s\\0' \"${!n}\"; done")
                                                                     .arg(names.join(u' '))});
    ASSERT_TRUE(out) << m_lastError.toStdString();
    QList<QByteArray> read = out->split('\0');
    read.removeLast();
    QJsonObject object;
    for (qsizetype i = 0; i < read.size(); ++i)
        object.insert(nameOf(i), QString::fromUtf8(read.at(i)));
    expectAllReadBack(object, "bash");
    // Sourcing ran nothing: the folder holds only .env.
    EXPECT_EQ(QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{QStringLiteral(".env")});
}

TEST_F(DotEnvReaders, NodesDotenvReadsEveryValueBack)
{
    const QString node = QStandardPaths::findExecutable(QStringLiteral("node"));
    if (node.isEmpty())
        GTEST_SKIP() << "Node.js is not installed";
    const QString module = qEnvironmentVariableIsSet("NERIM_NODE_DOTENV")
                               ? QDir(qEnvironmentVariable("NERIM_NODE_DOTENV")).absolutePath()
                               : QStringLiteral("dotenv");
    // Both parsers the package has (the second one only in newer releases;
    // older ones ignore the option and parse as the first).
    const std::optional<QByteArray> out =
        run(node, {QStringLiteral("-e"),
                   QStringLiteral("const d = require(process.argv[1]); const t = require('fs').readFileSync('.env');"
                                  "console.log(JSON.stringify({version: require(process.argv[1] + '/package.json')"
                                  ".version, plain: d.parse(t), fast: d.parse(t, {fast: true})}));"),
                   module});
    if (!out)
        GTEST_SKIP() << "Node's dotenv is not installed (npm install dotenv in a scratch folder, then set "
                        "NERIM_NODE_DOTENV to its node_modules/dotenv): "
                     << m_lastError.left(200).toStdString();
    const QJsonObject result = QJsonDocument::fromJson(*out).object();
    std::printf("[ reader   ] Node dotenv %s\n", result.value(QStringLiteral("version")).toString().toUtf8().constData());
    expectAllReadBack(result.value(QStringLiteral("plain")).toObject(), "Node dotenv");
    expectAllReadBack(result.value(QStringLiteral("fast")).toObject(), "Node dotenv (fast)");
}

TEST_F(DotEnvReaders, PythonDotenvReadsEveryValueBack)
{
    // Debian's interpreter with Debian's package, and whichever python3 comes
    // first on PATH (it may carry a newer python-dotenv).
    QStringList interpreters{QStringLiteral("/usr/bin/python3")};
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("python3"));
    if (!onPath.isEmpty() && QFileInfo(onPath).canonicalFilePath() != QFileInfo(interpreters.first()).canonicalFilePath())
        interpreters.append(onPath);
    int checked = 0;
    for (const QString &python : interpreters) {
        if (!QFileInfo(python).isExecutable())
            continue;
        const std::optional<QByteArray> out =
            run(python, {QStringLiteral("-c"),
                         QStringLiteral("import json, sys, importlib.metadata as m, dotenv\n"
                                        "json.dump({'version': m.version('python-dotenv'),"
                                        " 'values': dotenv.dotenv_values('.env')}, sys.stdout)")});
        if (!out)
            continue;
        const QJsonObject result = QJsonDocument::fromJson(*out).object();
        std::printf("[ reader   ] python-dotenv %s (%s)\n",
                    result.value(QStringLiteral("version")).toString().toUtf8().constData(),
                    python.toUtf8().constData());
        expectAllReadBack(result.value(QStringLiteral("values")).toObject(), "python-dotenv");
        ++checked;
    }
    if (checked == 0)
        GTEST_SKIP() << "python-dotenv is not installed (Debian's python3-dotenv)";
}
