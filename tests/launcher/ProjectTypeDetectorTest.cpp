#include "launcher/FreePortProbe.h"
#include "launcher/LaunchOverride.h"
#include "launcher/ProjectTypeDetector.h"

#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <gtest/gtest.h>

using nerim::LaunchPlan;
using nerim::ProjectTypeDetector;
using nerim::ProjectTypeDetectorError;

namespace {

struct Entry {
    const char *name;
    const char *contents; // nullptr: a folder
};

struct Case {
    const char *title;
    std::vector<Entry> entries;
    const char *command;     // nullptr: detection throws
    const char *description = "Starting your app";
    const char *errorText = nullptr;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.title; }

QString makeProject(const std::vector<Entry> &entries)
{
    const QString folder = nerim::test::makeTempDir(QStringLiteral("project"));
    for (const Entry &entry : entries) {
        const QString path = folder + QLatin1Char('/') + QString::fromUtf8(entry.name);
        if (entry.contents)
            EXPECT_TRUE(nerim::test::writeFile(path, entry.contents));
        else
            EXPECT_TRUE(QDir().mkpath(path));
    }
    return folder;
}

class Detect : public ::testing::TestWithParam<Case> {};

TEST_P(Detect, ChoosesPlan)
{
    const Case &c = GetParam();
    const QString folder = makeProject(c.entries);
    if (!c.command) {
        try {
            ProjectTypeDetector::detect(folder);
            FAIL() << "expected an error";
        } catch (const ProjectTypeDetectorError &error) {
            EXPECT_EQ(error.kind(), ProjectTypeDetectorError::Kind::unknown);
            EXPECT_EQ(error.description().toStdString(), c.errorText);
        }
        return;
    }
    const LaunchPlan plan = ProjectTypeDetector::detect(folder);
    // The Python servers take the first free port of their range; another
    // process may hold the first one, so any port of the range is accepted.
    QString actual = plan.shellCommand;
    const QRegularExpression portOption(QStringLiteral(R"(--(?:server\.)?port (\d+))"));
    const auto expectedPort = portOption.match(QString::fromUtf8(c.command));
    const auto actualPort = portOption.match(actual);
    if (expectedPort.hasMatch() && actualPort.hasMatch()) {
        const int base = expectedPort.captured(1).toInt();
        const int chosen = actualPort.captured(1).toInt();
        EXPECT_GE(chosen, base);
        EXPECT_LT(chosen, base + 20);
        actual.replace(actualPort.capturedStart(1), actualPort.capturedLength(1), QString::number(base));
    }
    EXPECT_EQ(actual.toStdString(), c.command);
    EXPECT_EQ(plan.humanDescription.toStdString(), c.description);
    EXPECT_EQ(plan.workingDirectory, folder);
}

const char *pyUnknown = "I can see this is a Python project but I couldn't tell how to start it. If you already know "
                        "the command, run it in Terminal and I'll pick up the URL.";
const char *unknown = "I don't recognize this as a startable project yet. If you already know how to start it, run "
                      "the command in Terminal and I'll pick up the URL automatically.";

INSTANTIATE_TEST_SUITE_P(
    Folders, Detect,
    ::testing::Values(
        Case{"NodeBeatsPython", {{"package.json", "{}"}, {"requirements.txt", "flask"}}, "npm install && npm start",
             "Installing dependencies and starting your app"},
        Case{"DevBeatsStart",
             {{"package.json", R"({"scripts":{"start":"node s.js","dev":"vite"}})"}, {"node_modules", nullptr}},
             "npm run dev"},
        Case{"ServeScript", {{"package.json", R"({"scripts":{"serve":"x"}})"}, {"node_modules", nullptr}},
             "npm run serve"},
        Case{"OnlyBuild", {{"package.json", R"({"scripts":{"build":"x"}})"}, {"node_modules", nullptr}}, "npm start"},
        Case{"InvalidJson", {{"package.json", "{nope"}, {"node_modules", nullptr}}, "npm start"},
        Case{"ScriptsNotObject", {{"package.json", R"({"scripts":["dev"]})"}, {"node_modules", nullptr}}, "npm start"},
        Case{"PackageJsonFolder", {{"package.json", nullptr}, {"node_modules", nullptr}}, "npm start"},
        Case{"PnpmBeatsYarn",
             {{"package.json", R"({"scripts":{"dev":"vite"}})"}, {"pnpm-lock.yaml", ""}, {"yarn.lock", ""}},
             "pnpm install && npm run dev", "Installing dependencies and starting your app"},
        Case{"Yarn", {{"package.json", "{}"}, {"yarn.lock", ""}}, "yarn install && npm start",
             "Installing dependencies and starting your app"},
        Case{"Cargo", {{"Cargo.toml", ""}, {"index.html", ""}}, "cargo run"},
        Case{"Go", {{"go.mod", ""}, {"main.py", ""}}, "go run ."},
        Case{"PlainPythonBeatsStatic", {{"index.html", ""}, {"main.py", "print(1)"}}, "python3 main.py"},
        Case{"RunPy", {{"requirements.txt", ""}, {"run.py", ""}}, "python3 run.py"},
        Case{"FlaskDefaultsToAppPy",
             {{"server.py", "from flask import Flask\n"}, {"requirements.txt", "flask\n"}},
             "FLASK_APP=app.py flask run --port 5000"},
        Case{"FlaskCorsCountsAsFlask", {{"main.py", "import flask_cors\n"}}, "FLASK_APP=main.py flask run --port 5000"},
        Case{"FastApiWithApp", {{"app.py", "from fastapi import FastAPI\n"}}, "uvicorn app:app --reload --port 8000"},
        Case{"UvicornPrefersMain", {{"app.py", "x"}, {"main.py", "import uvicorn\n"}},
             "uvicorn main:app --reload --port 8000"},
        Case{"StreamlitWinsOverFlask",
             {{"streamlit_app.py", "import streamlit as st\n"}, {"app.py", "import flask\n"}},
             "streamlit run streamlit_app.py --server.port 8501 --server.headless true"},
        Case{"PyprojectOnly", {{"pyproject.toml", ""}}, nullptr, "", pyUnknown},
        Case{"NotUtf8Skipped", {{"pyproject.toml", ""}, {"x.py", "import flask \xff\xfe"}}, nullptr, "", pyUnknown},
        Case{"Static", {{"index.html", "<html></html>"}}, "python3 -m http.server 0 --bind 127.0.0.1"},
        Case{"CaseSensitiveNames", {{"Package.json", "{}"}, {"INDEX.HTML", ""}}, nullptr, "", unknown},
        Case{"Empty", {}, nullptr, "", unknown},
        Case{"OnlyHidden", {{".package.json", "{}"}, {".git", nullptr}}, nullptr, "", unknown}));

TEST(ProjectTypeDetector, UnreadableFolderIsReadFailed)
{
    try {
        ProjectTypeDetector::detect(nerim::test::makeTempDir() + QStringLiteral("/missing"));
        FAIL() << "expected an error";
    } catch (const ProjectTypeDetectorError &error) {
        EXPECT_EQ(error.kind(), ProjectTypeDetectorError::Kind::readFailed);
        EXPECT_TRUE(error.description().startsWith(QStringLiteral("Couldn't read the project folder: ")));
        EXPECT_FALSE(error.underlying().isEmpty());
    }
}

TEST(ProjectTypeDetector, ValidOverrideWinsOverProjectFiles)
{
    const QString folder = makeProject({{"package.json", "{}"}});
    nerim::LaunchOverride override;
    override.shellCommand = QStringLiteral("make serve");
    override.writtenAt = QStringLiteral("2026-01-02T03:04:05Z");
    override.save(folder);
    nerim::test::LogCapture log;
    const LaunchPlan plan = ProjectTypeDetector::detect(folder);
    EXPECT_EQ(plan.shellCommand, QStringLiteral("make serve"));
    EXPECT_TRUE(log.contains(QStringLiteral(
        "[Nerim][ProjectTypeDetector] using launch override: make serve (written 2026-01-02T03:04:05Z)")));
}

TEST(ProjectTypeDetector, BusyPortsMoveThePythonPort)
{
    // Hold the first port the Flask plan would pick; the plan takes another of the range.
    const auto first = nerim::firstFreePort(5000, 20);
    if (!first)
        GTEST_SKIP() << "no free port near 5000";
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, static_cast<quint16>(*first)));
    const QString folder = makeProject({{"app.py", "import flask\n"}});
    const QString command = ProjectTypeDetector::detect(folder).shellCommand;
    ASSERT_TRUE(command.startsWith(QStringLiteral("FLASK_APP=app.py flask run --port "))) << command.toStdString();
    const int chosen = command.section(QLatin1Char(' '), -1).toInt();
    EXPECT_NE(chosen, *first);
    EXPECT_GE(chosen, 5000);
    EXPECT_LT(chosen, 5020);
}

TEST(FirstFreePort, RangeRules)
{
    EXPECT_FALSE(nerim::firstFreePort(40000, 0).has_value());
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    const int port = holder.serverPort();
    EXPECT_FALSE(nerim::firstFreePort(port, 1).has_value());
    holder.close();
    EXPECT_EQ(nerim::firstFreePort(port, 1), port);
}

TEST(FirstFreePort, AllTakenFallsBackInThePlan)
{
    // Every port of the Streamlit range is held, so the plan names its first port.
    std::vector<std::unique_ptr<QTcpServer>> holders;
    for (int port = 8501; port < 8521; ++port) {
        auto server = std::make_unique<QTcpServer>();
        if (server->listen(QHostAddress::LocalHost, static_cast<quint16>(port)))
            holders.push_back(std::move(server));
    }
    ASSERT_FALSE(nerim::firstFreePort(8501, 20).has_value());
    const QString folder = makeProject({{"app.py", "import streamlit\n"}});
    EXPECT_EQ(ProjectTypeDetector::detect(folder).shellCommand,
              QStringLiteral("streamlit run app.py --server.port 8501 --server.headless true"));
}

} // namespace
