// What a Deploy run's push must not carry: secret files by path, and the
// values of the project's .env files and the run's own variables by content.
#include "platform/guard/PushContent.h"
#include "platform/guard/PushPaths.h"

#include "GitTestSupport.h"

#include <QDir>
#include <algorithm>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace nerim::platform;
using namespace nerim::platform::guard;
using namespace nerim::test;

TEST(PushPaths, SecretFilesAreNotPushedFromRunsThatRefuseThem)
{
    for (const char *path : {".env", "app/.env", ".env.local", "x/.env.production", ".nerim/launch-override.json",
                             "sub/.nerim/deploy-config.json"})
        EXPECT_TRUE(isSecretPath(path)) << path;
    for (const char *path : {".env.example", "web/.env.sample", ".env.template", "env", ".environment", "a/.envrc",
                             ".nerim", "docs/nerim.md", "x.env"})
        EXPECT_FALSE(isSecretPath(path)) << path;
    EXPECT_EQ(pushedRevisions({"origin", "main"}), (std::vector<std::string>{"main"}));
    EXPECT_EQ(pushedRevisions({"-u", "origin", "+feature:main", ":gone"}), (std::vector<std::string>{"feature"}));
    EXPECT_EQ(pushedRevisions({"origin"}), (std::vector<std::string>{"--all"}));
    EXPECT_EQ(pushedRevisions({"--all", "origin"}), (std::vector<std::string>{"--all"}));
    EXPECT_EQ(pushedRevisions({"-o", "ci.skip", "origin", "refs/heads/*:refs/heads/*"}), (std::vector<std::string>{"--all"}));

    const QString repository = newRepository(QStringLiteral("secrets"));
    const QString remote = makeTempDir(QStringLiteral("secrets-remote")) + QStringLiteral("/r.git");
    ASSERT_TRUE(PlantedRepository::git(repository, {QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("--bare"), remote}));
    ASSERT_TRUE(PlantedRepository::git(repository, {QStringLiteral("remote"), QStringLiteral("add"), QStringLiteral("origin"), remote}));
    // As in a Deploy run, whose agent provider names the run's own variables (none here).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(secretNamesVariable), QString());
    const auto pushed = [&](bool refuse) {
        const Outcome outcome =
            runThroughChildProcess(repository, QStringLiteral("git push -q origin main"), refuse, environment);
        EXPECT_TRUE(outcome.ended);
        return std::make_pair(outcome.exitCode == 0, outcome.errorLines);
    };
    const auto commit = [&](const QString &path) {
        writeFile(repository + QLatin1Char('/') + path, "STRIPE_KEY=sk_live_x\n");
        PlantedRepository::git(repository, {QStringLiteral("add"), QStringLiteral("-A"), QStringLiteral("-f")});
        PlantedRepository::git(repository, {QStringLiteral("commit"), QStringLiteral("-qm"), path});
    };
    commit(QStringLiteral(".env.example"));
    EXPECT_TRUE(pushed(true).first);
    commit(QStringLiteral("web/.env"));
    commit(QStringLiteral("later.txt")); // the secret is not in the last commit alone
    const auto [ok, lines] = pushed(true);
    EXPECT_FALSE(ok);
    ASSERT_EQ(lines.size(), 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.front().startsWith(QLatin1String(refusalPrefix)));
    EXPECT_TRUE(lines.front().contains(QLatin1String("web/.env"))) << lines.front().toStdString();
    EXPECT_EQ(gitOutput(remote, {QStringLiteral("log"), QStringLiteral("--format=%s"), QStringLiteral("-1"), QStringLiteral("main")}),
              QStringLiteral(".env.example"));
    // Removing it in a later commit does not help: the commit that holds it would still go.
    QFile::remove(repository + QStringLiteral("/web/.env"));
    commit(QStringLiteral("again.txt"));
    EXPECT_FALSE(pushed(true).first);
    // Runs that do not refuse them push as git would.
    EXPECT_TRUE(pushed(false).first);
    commit(QStringLiteral(".nerim/launch-override.json"));
    EXPECT_FALSE(pushed(true).first);
}
// The values a push must not carry, in every form a file could hold them:
// quoted or not, escaped, with a comment after them, over several lines; and
// none of those ordinary code holds too.
TEST(PushContent, ADotEnvsValuesInEveryFormAndNoneTooPlainToMatter)
{
    const std::string text = "# a comment=not-a-value-at-all\r\n"
                             "export API_KEY=sk-live-51HqSecretValue # the live key\n"
                             "DB_URL='postgres://u:p4ss@db:5432/shop'\n"
                             "PEM=\"-----BEGIN KEY-----\\nMIIEvQIBADANBgkq\\n-----END KEY-----\"\n"
                             "MULTI=\"first-line-secret\n"
                             "second-line-secret\"\n"
                             "NODE_ENV=production\nPORT=3000\nHOST=localhost\nSHORT=abc123\n"
                             "not an assignment\n1BAD=value-of-a-bad-name\n";
    std::vector<std::string> values;
    for (const SecretValue &value : dotEnvValues(text, ".env"))
        values.push_back(value.value);
    for (const char *expected :
         {"sk-live-51HqSecretValue", "postgres://u:p4ss@db:5432/shop", "-----BEGIN KEY-----\\nMIIEvQIBADANBgkq\\n-----END KEY-----",
          "-----BEGIN KEY-----\nMIIEvQIBADANBgkq\n-----END KEY-----", "first-line-secret\nsecond-line-secret",
          "first-line-secret", "second-line-secret", "value-of-a-bad-name"})
        EXPECT_NE(std::find(values.begin(), values.end(), expected), values.end()) << expected;
    for (const char *plain : {"production", "3000", "localhost", "abc123", "not-a-value-at-all"})
        EXPECT_EQ(std::find(values.begin(), values.end(), plain), values.end()) << plain;
    EXPECT_EQ(dotEnvValues("API_KEY=sk-live-51HqSecretValue\n", "web/.env.local").front().origin,
              "API_KEY in web/.env.local");
    EXPECT_TRUE(countsAsSecret("averyveryverylongword"));
    EXPECT_FALSE(countsAsSecret("development"));
    for (const char *name : {".env", ".env.local", ".env.production"})
        EXPECT_TRUE(isLocalDotEnvName(name)) << name;
    for (const char *name : {".env.example", ".env.sample", ".env.template", "env", "app.env", ".envrc", ".environment"})
        EXPECT_FALSE(isLocalDotEnvName(name)) << name;
}

// What the push's target already holds is asked of the target: another
// remote holding the history, a remote-tracking ref planted locally, or a
// configured refspec sending a remote-tracking ref do not let a secret
// through; what the target does hold is not checked again.
TEST(PushContent, WhatThePushSendsIsWhatItsTargetLacks)
{
    const QString repository = newRepository(QStringLiteral("target"));
    const QString remotes = makeTempDir(QStringLiteral("target-remotes"));
    const QString origin = remotes + QStringLiteral("/origin.git");
    const QString backup = remotes + QStringLiteral("/backup.git");
    const auto git = [&](const QStringList &arguments) { return PlantedRepository::git(repository, arguments); };
    for (const QString &bare : {origin, backup})
        ASSERT_TRUE(git({QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("--bare"), bare}));
    ASSERT_TRUE(git({QStringLiteral("remote"), QStringLiteral("add"), QStringLiteral("origin"), origin}));
    ASSERT_TRUE(git({QStringLiteral("remote"), QStringLiteral("add"), QStringLiteral("backup"), backup}));
    // The value is in .env (not committed) and in one commit of the history, gone from its tip.
    writeFile(repository + QStringLiteral("/.env"), "STRIPE_KEY=sk_live_51TargetCheckValue\n");
    const auto commit = [&](const QString &file, const QByteArray &text) {
        writeFile(repository + QLatin1Char('/') + file, text);
        git({QStringLiteral("add"), file});
        git({QStringLiteral("commit"), QStringLiteral("-qm"), file});
    };
    commit(QStringLiteral("config.js"), "const key = 'sk_live_51TargetCheckValue';\n");
    commit(QStringLiteral("config.js"), "const key = process.env.STRIPE_KEY;\n");
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(secretNamesVariable), QString());
    const auto push = [&](const QString &arguments) {
        const Outcome outcome =
            runThroughChildProcess(repository, QStringLiteral("git push -q ") + arguments, true, environment);
        EXPECT_TRUE(outcome.ended);
        return std::make_pair(outcome.exitCode == 0, outcome.errorLines);
    };
    const auto refused = [&](const QString &arguments, const char *because) {
        const auto [ok, lines] = push(arguments);
        EXPECT_FALSE(ok) << because;
        EXPECT_EQ(gitOutput(origin, {QStringLiteral("for-each-ref")}).toStdString(), "") << because;
        if (ok) { // start the next case from an empty target again
            QDir(origin).removeRecursively();
            git({QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("--bare"), origin});
        }
        ASSERT_EQ(lines.size(), 1) << because << ": " << lines.join('\n').toStdString();
        EXPECT_TRUE(lines.front().startsWith(QLatin1String(refusalPrefix))) << lines.front().toStdString();
    };

    ASSERT_TRUE(git({QStringLiteral("update-ref"), QStringLiteral("refs/remotes/origin/parked"), QStringLiteral("HEAD")}));
    refused(QStringLiteral("origin main"), "a planted remote-tracking ref");
    ASSERT_TRUE(git({QStringLiteral("update-ref"), QStringLiteral("-d"), QStringLiteral("refs/remotes/origin/parked")}));
    ASSERT_TRUE(git({QStringLiteral("push"), QStringLiteral("-q"), QStringLiteral("backup"), QStringLiteral("main")}));
    refused(QStringLiteral("origin main"), "the history on another remote");
    ASSERT_TRUE(git({QStringLiteral("config"), QStringLiteral("remote.origin.push"),
                     QStringLiteral("refs/remotes/backup/main:refs/heads/leak")}));
    refused(QStringLiteral("origin"), "a configured refspec sending a remote-tracking ref");
    ASSERT_TRUE(git({QStringLiteral("config"), QStringLiteral("--unset"), QStringLiteral("remote.origin.push")}));
    refused(QStringLiteral("origin refs/remotes/backup/main:refs/heads/leak"), "a refspec sending a remote-tracking ref");
    refused(QStringLiteral("nowhere main"), "a target that cannot be asked");

    // Once the target holds that history, a clean commit on top of it goes.
    ASSERT_TRUE(git({QStringLiteral("push"), QStringLiteral("-q"), QStringLiteral("origin"), QStringLiteral("main")}));
    commit(QStringLiteral("page.html"), "<h1>Shop</h1>\n");
    commit(QStringLiteral(".envrc"), "export NODE_OPTIONS=--max-old-space-size=4096\n"); // an ordinary file
    const auto [ok, lines] = push(QStringLiteral("origin main"));
    EXPECT_TRUE(ok) << lines.join('\n').toStdString();
    EXPECT_EQ(gitOutput(origin, {QStringLiteral("log"), QStringLiteral("-1"), QStringLiteral("--format=%s")}).toStdString(),
              ".envrc");
}

// Every value python-dotenv (and Node's util.parseEnv, where this Node has
// it) reads from a .env file is one the push check looks for: each line end,
// names with dots and dashes, each kind of quote, `export`, comments and
// values over several lines.
TEST(PushContent, ADotEnvIsReadAtLeastAsItsReadersReadIt)
{
    const std::vector<std::pair<const char *, std::string>> files{
        {"lf", "export API_KEY=sk_live_51LfValue # note\nstripe.key=sk_live_51DottedName\nSTRIPE-KEY=sk_live_51Dashed\n"
               "'quoted key'=sk_live_51QuotedKey\n1DIGIT=sk_live_51DigitFirst\nSPACED = sk_live_51Spaced \n"},
        {"crlf", "A=sk_live_51CrlfOne\r\nstripe.key='sk_live_51CrlfTwo'\r\nexport B=\"sk_live_51CrlfThree\"\r\n"},
        {"cr", "A=sk_live_51CrOnly\rstripe.key=sk_live_51CrDotted\rSTRIPE-KEY=\"sk_live_51CrQuoted\"\r# c=x\r"},
        {"quotes", "D=\"dq\\tsk_live_51Escaped\\\"q\\\\\"\nS='sq sk_live_51Single\\'s'\nB=`sk_live_51Backtick`\n"
                   "H=pass#word_51Hashed\nC=sk_live_51Commented #comment\n"},
        {"multiline", "PEM=\"-----BEGIN KEY-----\nMIIEvQIBADANBgkqhkiG\n-----END KEY-----\"\n"
                      "CRLF_PEM='line-one-51Secret\r\nline-two-51Secret'\r\nNEXT=sk_live_51AfterMulti\r\n"},
    };
    const QString folder = makeTempDir(QStringLiteral("dotenv-table"));
    for (const auto &[name, text] : files)
        writeFile(folder + QLatin1Char('/') + QLatin1String(name), QByteArray::fromStdString(text));

    // Each reader prints {file: {name: value}}.
    const std::vector<std::pair<QString, QStringList>> readers{
        {QStringLiteral("python-dotenv"),
         {QStringLiteral("python3"), QStringLiteral("-c"),
          QStringLiteral("import json, os, sys, dotenv\n"
                         "json.dump({f: dotenv.dotenv_values(f, interpolate=False) for f in os.listdir('.')}, sys.stdout)")}},
        {QStringLiteral("Node's util.parseEnv"),
         {QStringLiteral("node"), QStringLiteral("-e"),
          QStringLiteral("const fs = require('fs'), u = require('util'); if (!u.parseEnv) process.exit(3);"
                         "const r = {}; for (const f of fs.readdirSync('.')) r[f] = u.parseEnv(fs.readFileSync(f, 'utf8'));"
                         "console.log(JSON.stringify(r));")}},
    };
    int compared = 0;
    for (const auto &[reader, command] : readers) {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.start(command.first(), command.mid(1));
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            // The full suite has python-dotenv (scripts/setup installs it).
            if (reader.startsWith(QLatin1String("python")) && qEnvironmentVariable("NERIM_FULL_SUITE") == QLatin1String("1"))
                ADD_FAILURE() << "python-dotenv is not installed (python3-dotenv)";
            std::printf("[ reader   ] %s is not here, not compared\n", qPrintable(reader));
            continue;
        }
        const QJsonObject read = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
        ASSERT_EQ(read.size(), qsizetype(files.size())) << reader.toStdString();
        for (const auto &[name, text] : files) {
            std::vector<std::string> ours;
            for (const SecretValue &value : dotEnvValues(text, name))
                ours.push_back(value.value);
            const QJsonObject values = read.value(QLatin1String(name)).toObject();
            EXPECT_FALSE(values.isEmpty()) << reader.toStdString() << " read nothing of " << name;
            for (auto it = values.begin(); it != values.end(); ++it) {
                const std::string value = it.value().toString().trimmed().toStdString();
                if (countsAsSecret(value)) {
                    EXPECT_NE(std::find(ours.begin(), ours.end(), value), ours.end())
                        << reader.toStdString() << " reads " << it.key().toStdString() << " in " << name << " as "
                        << value;
                }
            }
        }
        ++compared;
    }
    if (compared == 0)
        GTEST_SKIP() << "neither python-dotenv nor a Node with util.parseEnv is installed";
}
