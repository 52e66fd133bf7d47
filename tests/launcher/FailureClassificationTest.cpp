#include "launcher/DevServerRunner.h"

#include <gtest/gtest.h>

using nerim::DetectedFailure;
using nerim::DevServerRunner;
using Category = DetectedFailure::Category;

namespace {

struct Case {
    const char *line;
    std::optional<Category> category;
    const char *summary = "";
    const char *symbol = nullptr;
    const char *hint = nullptr; // checked when given
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.line; }

class ClassifyFailureLine : public ::testing::TestWithParam<Case> {};

TEST_P(ClassifyFailureLine, Classifies)
{
    const Case &c = GetParam();
    const auto failure = DevServerRunner::classifyFailureLine(QString::fromUtf8(c.line));
    if (!c.category) {
        EXPECT_FALSE(failure.has_value()) << failure->summary.toStdString();
        return;
    }
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->category, *c.category);
    EXPECT_EQ(failure->summary.toStdString(), c.summary);
    if (c.symbol) {
        EXPECT_EQ(failure->symbol, QString::fromUtf8(c.symbol));
    } else {
        EXPECT_FALSE(failure->symbol.has_value());
    }
    if (c.hint) {
        EXPECT_EQ(failure->hint, QString::fromUtf8(c.hint));
    }
    EXPECT_TRUE(failure->hint.has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ClassifyFailureLine,
    ::testing::Values(
        Case{"Error: The STRIPE_KEY environment variable is missing", Category::missingEnvVar,
             "Your app crashed on startup — STRIPE_KEY is missing.", "STRIPE_KEY",
             "Add STRIPE_KEY=<your value> to a .env file in the project root, then try “run the app” again."},
        Case{"missing required environment variable: DATABASE_URL", Category::missingEnvVar,
             "Your app crashed on startup — DATABASE_URL is missing.", "DATABASE_URL"},
        Case{"Environment variable `OPENAI_API_KEY` not found", Category::missingEnvVar,
             "Your app crashed on startup — OPENAI_API_KEY is missing.", "OPENAI_API_KEY"},
        Case{"KeyError: 'SECRET_TOKEN'", Category::missingEnvVar, "Your app crashed on startup — SECRET_TOKEN is missing.",
             "SECRET_TOKEN"},
        // Case-insensitive patterns take the name as written.
        Case{"keyerror: \"api_key\"", Category::missingEnvVar, "Your app crashed on startup — api_key is missing.",
             "api_key"},
        // An environment-variable line wins over the phrases.
        Case{"Cannot find module 'x' because KeyError: 'MY_VAR'", Category::missingEnvVar,
             "Your app crashed on startup — MY_VAR is missing.", "MY_VAR"},
        Case{"Error: Cannot find module 'express'", Category::missingNodeDependency,
             "Your app is missing a dependency: express.", "express",
             "Open Terminal in the project folder and run `npm install`, then try “run the app” again."},
        // A path is one of the project's own files, which no install brings back.
        Case{"Error: Cannot find module \"/app/dist/main.js\"", Category::nodemonCatchall,
             "Your app can't find one of its own files: /app/dist/main.js.", "/app/dist/main.js"},
        Case{"Error: Cannot find module './config.json'", Category::nodemonCatchall,
             "Your app can't find one of its own files: ./config.json.", "./config.json",
             "Ask one of your agents to create ./config.json or fix the line that loads it, then try “run the app” "
             "again."},
        Case{"Error: Cannot find module '../lib/db'", Category::nodemonCatchall,
             "Your app can't find one of its own files: ../lib/db.", "../lib/db"},
        // A package's own file is still a package.
        Case{"Error: Cannot find module '@scope/pkg/dist/x.js'", Category::missingNodeDependency,
             "Your app is missing a dependency: @scope/pkg/dist/x.js.", "@scope/pkg/dist/x.js"},

        Case{"  code: 'MODULE_NOT_FOUND',", Category::missingNodeDependency,
             "Your app is missing one or more dependencies."},
        Case{"ModuleNotFoundError: No module named 'requests'", Category::missingPythonDependency,
             "Your app is missing a Python package: requests.", "requests",
             "Open Terminal in the project folder and run `pip install requests` (or `pip install -r "
             "requirements.txt` if there is one), then try again."},
        Case{"MODULENOTFOUNDERROR raised", Category::missingPythonDependency,
             "Your app is missing one or more Python packages.", nullptr,
             "Open Terminal in the project folder and run `pip install -r requirements.txt`, then try again."},
        Case{"Error: listen EADDRINUSE: address already in use :::3000", Category::portInUse,
             "Something else is already using port 3000.", "3000",
             "Close the other app (or a previous Nerim run) that's holding the port, then try again."},
        Case{"OSError: [Errno 98] Address already in use", Category::portInUse,
             "The port your app wants is already taken."},
        Case{"address already in use 127.0.0.1:123456", Category::portInUse,
             "Something else is already using port 12345.", "12345"},
        Case{"[nodemon] app crashed - waiting for file changes before starting...", Category::nodemonCatchall,
             "Your app crashed on startup.", nullptr,
             "Ask one of your agents “what went wrong?” — they can read the error output and help fix it."},
        Case{"VITE v5.0.0  ready in 300 ms", std::nullopt}, Case{"", std::nullopt},
        Case{"The environment variable is missing", std::nullopt}));

TEST(ExtractPort, FirstColonFollowedByDigits)
{
    EXPECT_EQ(DevServerRunner::extractPort(QStringLiteral("in use :::3000")), 3000);
    EXPECT_EQ(DevServerRunner::extractPort(QStringLiteral("a:1 b:80 c:3000")), 80);
    EXPECT_EQ(DevServerRunner::extractPort(QStringLiteral("host:9876543")), 98765);
    EXPECT_FALSE(DevServerRunner::extractPort(QStringLiteral("port 3000")).has_value());
}

TEST(CleanLine, RemovesEscapesAndOneCarriageReturn)
{
    EXPECT_EQ(DevServerRunner::cleanLine(QStringLiteral("\x1b[32m➜\x1b[39m  \x1b[1mLocal\x1b[22m:\r")), QStringLiteral("➜  Local:"));
    EXPECT_EQ(DevServerRunner::cleanLine(QStringLiteral("a\r\r")), QStringLiteral("a\r"));
    EXPECT_EQ(DevServerRunner::cleanLine(QStringLiteral("\x1b[?25lhidden cursor\x1b[2K")), QStringLiteral("hidden cursor"));
    // A coloured failure line classifies without its codes.
    const auto failure = DevServerRunner::classifyFailureLine(
        DevServerRunner::cleanLine(QStringLiteral("\x1b[31mError: Cannot find module '\x1b[1mpg\x1b[22m'\x1b[39m")));
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->symbol, QStringLiteral("pg"));
}

TEST(DevServerStatus, DisplayTextAndEquality)
{
    using Status = DevServerRunner::Status;
    EXPECT_EQ(Status().displayText(), QStringLiteral("Ready when you are."));
    EXPECT_EQ(Status::starting(QStringLiteral("Starting your app")).displayText(), QStringLiteral("Starting your app…"));
    EXPECT_EQ(Status::running(std::nullopt).displayText(), QStringLiteral("Your app is running."));
    EXPECT_EQ(Status::running(QUrl(QStringLiteral("http://localhost:3000/"))).displayText(),
              QStringLiteral("Your app is running at http://localhost:3000/"));
    EXPECT_EQ(Status::stopped(0, true).displayText(), QStringLiteral("Your app stopped."));
    EXPECT_EQ(Status::stopped(15, false).displayText(), QStringLiteral("Your app crashed."));
    EXPECT_EQ(Status::failed(QStringLiteral("no shell")).displayText(), QStringLiteral("Couldn't start: no shell"));
    EXPECT_EQ(Status::crashed(QStringLiteral("Boom."), std::nullopt).displayText(), QStringLiteral("Boom."));

    EXPECT_EQ(Status::idle(), Status());
    EXPECT_NE(Status::stopped(0, true), Status::stopped(0, false));
    EXPECT_NE(Status::running(std::nullopt), Status::running(QUrl(QStringLiteral("http://localhost:1/"))));
    EXPECT_NE(Status::crashed(QStringLiteral("a"), QStringLiteral("h")), Status::crashed(QStringLiteral("a"), std::nullopt));
}

TEST(DetectedFailureCategory, RawValuesRoundTrip)
{
    for (const auto category : DetectedFailure::allCategories())
        EXPECT_EQ(nerim::detectedFailureCategoryFromRaw(nerim::rawValue(category)), category);
    EXPECT_EQ(nerim::rawValue(Category::missingEnvVar), QStringLiteral("missingEnvVar"));
    EXPECT_FALSE(nerim::detectedFailureCategoryFromRaw(QStringLiteral("MissingEnvVar")).has_value());
}

} // namespace
