#include "repair/RepairContext.h"

#include <QJsonDocument>
#include <gtest/gtest.h>

using namespace nerim;
using Category = RepairContext::Category;

namespace {

const QUrl project = QUrl::fromLocalFile(QStringLiteral("/home/ada/Nerim Projects/shop #1"));

DevServerRunner::DetectedFailure failure()
{
    return {Category::missingEnvVar, QStringLiteral("Your app needs OPENAI_API_KEY."),
            QStringLiteral("Add it to .env."), QStringLiteral("OPENAI_API_KEY")};
}

} // namespace

TEST(RepairContext, IsBuiltFromAClassifiedFailureOfTheLaunchedPlan)
{
    const LaunchPlan plan{project.toLocalFile(), QStringLiteral("npm install && npm run dev"),
                          QStringLiteral("Starting your app")};
    const QStringList output{QStringLiteral("> dev"), QStringLiteral("Error: OPENAI_API_KEY missing")};
    const auto context = RepairContext::fromFailedStart(project, failure(), plan, QStringLiteral("ignored"), output);
    ASSERT_TRUE(context);
    EXPECT_EQ(context->projectURL, project);
    EXPECT_EQ(context->projectType, QStringLiteral("npm project (installs dependencies, then runs the dev server)"));
    EXPECT_EQ(context->shellCommand, plan.shellCommand);
    EXPECT_EQ(context->failureCategory, Category::missingEnvVar);
    EXPECT_EQ(context->summary, failure().summary);
    EXPECT_EQ(context->hint, failure().hint);
    EXPECT_EQ(context->symbol, failure().symbol);
    EXPECT_EQ(context->logTail, output);
    EXPECT_EQ(context->attempt, 1);
    EXPECT_EQ(context->retryCap, 3);
}

TEST(RepairContext, FallsBackToTheDetectionErrorAndOtherwiseGivesNothing)
{
    const QStringList output{QStringLiteral("line")};
    // A failure without a plan is not enough for the first rule.
    const auto context = RepairContext::fromFailedStart(project, failure(), std::nullopt,
                                                        QStringLiteral("Nerim couldn't tell what kind of project this is."),
                                                        output);
    ASSERT_TRUE(context);
    EXPECT_EQ(context->projectType, QStringLiteral("(Nerim couldn't tell)"));
    EXPECT_EQ(context->shellCommand, QStringLiteral("(no command — Nerim didn't run one)"));
    EXPECT_EQ(context->failureCategory, Category::unknownProjectType);
    EXPECT_EQ(context->summary, QStringLiteral("Nerim couldn't tell what kind of project this is."));
    EXPECT_EQ(context->hint, QStringLiteral("Ask the user how they normally start this project, then emit an "
                                            "[NERIM_REPAIR_LAUNCH_OVERRIDE] with the command they give you."));
    EXPECT_FALSE(context->symbol);
    EXPECT_EQ(context->logTail, output);
    EXPECT_EQ(context->attempt, 1);
    EXPECT_EQ(context->retryCap, 3);

    const LaunchPlan plan{project.toLocalFile(), QStringLiteral("npm start"), QStringLiteral("Starting your app")};
    EXPECT_FALSE(RepairContext::fromFailedStart(project, std::nullopt, plan, std::nullopt, output));
}

TEST(RepairContext, JsonFormReadsBackWhatItWrites)
{
    auto context = *RepairContext::fromFailedStart(
        project, failure(), LaunchPlan{project.toLocalFile(), QStringLiteral("npm start"), QString()}, std::nullopt,
        {QStringLiteral("a"), QStringLiteral("b — ü")});
    context.attempt = 2;
    const QJsonObject full = context.toJson();
    EXPECT_EQ(full.value(QStringLiteral("failureCategory")).toString(), QStringLiteral("missingEnvVar"));
    EXPECT_EQ(RepairContext::fromJson(JsonObjectReader::parse(QJsonDocument(full).toJson())), context);

    context.hint.reset();
    context.symbol.reset();
    const QJsonObject bare = context.toJson();
    EXPECT_FALSE(bare.contains(QStringLiteral("hint")));
    EXPECT_FALSE(bare.contains(QStringLiteral("symbol")));
    EXPECT_EQ(RepairContext::fromJson(JsonObjectReader(bare)), context);

    QJsonObject badCategory = bare;
    badCategory.insert(QStringLiteral("failureCategory"), QStringLiteral("MissingEnvVar"));
    EXPECT_THROW(RepairContext::fromJson(JsonObjectReader(badCategory)), JsonDecodingError);
    QJsonObject badURL = bare;
    badURL.insert(QStringLiteral("projectURL"), QStringLiteral("https://example.com/"));
    EXPECT_THROW(RepairContext::fromJson(JsonObjectReader(badURL)), JsonDecodingError);
    QJsonObject missingAttempt = bare;
    missingAttempt.remove(QStringLiteral("attempt"));
    EXPECT_THROW(RepairContext::fromJson(JsonObjectReader(missingAttempt)), JsonDecodingError);
}

TEST(RepairContext, PlainProjectTypeTakesTheFirstTestThatHolds)
{
    const std::pair<const char *, const char *> cases[] = {
        {"pnpm install && pnpm dev && npm install", "npm project (installs dependencies, then runs the dev server)"},
        {"npm install && npm run dev", "npm project (installs dependencies, then runs the dev server)"},
        {"yarn dev", "Node/npm project (yarn dev)"},
        {"npm run dev -- --port 3000", "Node/npm project (npm run dev -- --port 3000)"},
        {"python3 -m http.server 8000", "static HTML site served by Python"},
        {"python3 app.py", "Python project (python3 app.py)"},
        {"uvicorn main:app --reload", "Python project (uvicorn main:app --reload)"},
        {"FLASK_APP=app.py flask run", "Python project (FLASK_APP=app.py flask run)"},
        {"cargo run", "Rust/Cargo project (cargo run)"},
        {"go run .", "Go project (go run .)"},
        {"docker compose up", "project that starts with `docker compose up`"},
        {"NPM run dev", "project that starts with `NPM run dev`"},
        {"echo %1 done", "project that starts with `echo %1 done`"},
    };
    for (const auto &[command, expected] : cases) {
        SCOPED_TRACE(command);
        EXPECT_EQ(plainProjectType(LaunchPlan{QString(), QString::fromUtf8(command), QString()}),
                  QString::fromUtf8(expected));
    }
}
