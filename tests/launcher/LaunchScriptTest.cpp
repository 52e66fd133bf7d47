#include "launcher/DevServerRunner.h"

#include "TestEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using nerim::DevServerRunner;
using nerim::LaunchPlan;

namespace {

TEST(LaunchScript, CompoundCommands)
{
    for (const char *command : {"npm install && npm run dev", "a || b", "a; b", "cat x | grep y",
                                "FLASK_APP=app.py flask run --port 5000", "  PORT=3001 npm start"}) {
        EXPECT_TRUE(DevServerRunner::isCompoundCommand(QString::fromUtf8(command))) << command;
    }
    for (const char *command : {"npm run dev", "python3 -m http.server 0 --bind 127.0.0.1", "cargo run", "go run .",
                                "node server.js --flag=value", "uvicorn main:app --reload --port 8000"}) {
        EXPECT_FALSE(DevServerRunner::isCompoundCommand(QString::fromUtf8(command))) << command;
    }
}

// The command itself is never part of the script (a command line every user
// can read): the script takes it from the environment and runs it.
TEST(LaunchScript, PlainCommandFollowsExec)
{
    const LaunchPlan plan{QStringLiteral("/home/me/My App"), QStringLiteral("npm run dev"), QStringLiteral("Starting your app")};
    EXPECT_EQ(DevServerRunner::launchScript(plan),
              QStringLiteral("echo '[nerim] launching your app...' && cd '/home/me/My App' && "
                             "c=$NERIM_LAUNCH_COMMAND && unset NERIM_LAUNCH_COMMAND && eval \"exec $c\""));
}

TEST(LaunchScript, CompoundCommandRunsInBashWithQuotedApostrophes)
{
    const LaunchPlan plan{QStringLiteral("/home/me/Bob's app"), QStringLiteral("npm install && echo 'hi' | cat"),
                          QString()};
    EXPECT_EQ(DevServerRunner::launchScript(plan),
              QStringLiteral("echo '[nerim] launching your app...' && cd '/home/me/Bob'\\''s app' && exec /bin/bash -c "
                             "'c=$NERIM_LAUNCH_COMMAND; unset NERIM_LAUNCH_COMMAND; eval \"$c\"'"));
}

TEST(ChildEnvironment, SetsColourAndPythonVariablesAndDropsSecrets)
{
    QProcessEnvironment base;
    base.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin"));
    base.insert(QStringLiteral("FORCE_COLOR"), QStringLiteral("3"));
    for (const char *secret : {"VERCEL_TOKEN", "RAILWAY_TOKEN", "SUPABASE_ACCESS_TOKEN", "ANTHROPIC_API_KEY",
                               "ANTHROPIC_AUTH_TOKEN", "ANTHROPIC_BASE_URL", "ANTHROPIC_CUSTOM_HEADERS",
                               "ANTHROPIC_MODEL", "ANTHROPIC_VERTEX_PROJECT_ID", "anthropic_api_key",
                               "CLAUDE_CODE_OAUTH_TOKEN", "GROQ_API_KEY"})
        base.insert(QString::fromLatin1(secret), QStringLiteral("s3cret"));
    // Names that only resemble a credential are the user's own.
    for (const char *own : {"MY_ANTHROPIC_NOTES", "GROQ_API_KEY_FILE", "CLAUDE_CODE_THEME"})
        base.insert(QString::fromLatin1(own), QStringLiteral("kept"));

    const QProcessEnvironment env = DevServerRunner::childEnvironment(base);
    EXPECT_EQ(env.value(QStringLiteral("TERM")), QStringLiteral("xterm-256color"));
    EXPECT_EQ(env.value(QStringLiteral("FORCE_COLOR")), QStringLiteral("0"));
    EXPECT_EQ(env.value(QStringLiteral("NO_COLOR")), QStringLiteral("1"));
    EXPECT_EQ(env.value(QStringLiteral("PYTHONUNBUFFERED")), QStringLiteral("1"));
    EXPECT_EQ(env.value(QStringLiteral("PYTHONDONTWRITEBYTECODE")), QStringLiteral("1"));
    EXPECT_EQ(env.value(QStringLiteral("PATH")), QStringLiteral("/usr/bin"));
    EXPECT_FALSE(env.toStringList().join(QLatin1Char('\n')).contains(QStringLiteral("s3cret")))
        << env.toStringList().join(QLatin1Char(' ')).toStdString();
    for (const char *own : {"MY_ANTHROPIC_NOTES", "GROQ_API_KEY_FILE", "CLAUDE_CODE_THEME"})
        EXPECT_EQ(env.value(QString::fromLatin1(own)), QStringLiteral("kept")) << own;

    base.insert(QStringLiteral("TERM"), QStringLiteral("dumb"));
    EXPECT_EQ(DevServerRunner::childEnvironment(base).value(QStringLiteral("TERM")), QStringLiteral("dumb"));
}

} // namespace
