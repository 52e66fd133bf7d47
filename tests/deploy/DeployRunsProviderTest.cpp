// Deploy runs through the provider and the stand-in `claude`: what the run is
// started with, and markers reaching the stream while the run still goes.
#include "ProviderTestSupport.h"
#include "TestEnvironment.h"
#include "deploy/DeployMarkers.h"
#include "deploy/DeployRunArguments.h"
#include "deploy/DeployHeldTokens.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

class DeployRunsProviderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        project = makeTempDir(QStringLiteral("project"));
        records = makeTempDir(QStringLiteral("records"));
        qputenv("CLAUDE_STANDIN_RECORD_ARGS", (records + QStringLiteral("/args")).toUtf8());
        qputenv("CLAUDE_STANDIN_RECORD_ENV", (records + QStringLiteral("/env")).toUtf8());
    }

    QString project;
    QString records;
};

} // namespace

// A Deploy run for Vercel: the closed run's arguments, then its allowed tools;
// of the held tokens only Vercel's reaches it.
TEST_F(DeployRunsProviderTest, ADeployRunGetsItsToolsAndOnlyItsProvidersToken)
{
    claudeStandin::setCommands(QStringLiteral("out ok"));
    ClaudeCodeProvider provider(project, standinOptions());
    DeployRuns::HeldTokens tokens;
    tokens.hold(DeployProvider::vercel, QStringLiteral("vercel-secret"));
    tokens.hold(DeployProvider::supabase, QStringLiteral("supabase-secret"));
    const QList<DeployProvider> providers{DeployProvider::supabase, DeployProvider::vercel};
    SpawnExtras extras;
    extras.arguments = DeployRuns::runArguments(providers);
    extras.environment = tokens.environmentFor(DeployProvider::vercel);
    const AgentSession session = await(provider.spawn(AgentRole::deploy, {}, {}, QStringLiteral("deploy"), ProjectAwareness{},
                                                      ModelChoice::sonnet45, extras));
    await(collectAll(await(provider.outputStream(session.id))));

    // No edit mode around the allowed commands: the program asks nobody and
    // runs only what they name.
    const QStringList arguments = claudeStandin::readList(records + QStringLiteral("/args"));
    EXPECT_EQ(arguments, claudeArguments(ModelChoice::sonnet45, QString(), AgentRole::deploy) + DeployRuns::runArguments(providers));
    EXPECT_EQ(arguments.mid(1, 2), (QStringList{QStringLiteral("--permission-mode"), QStringLiteral("dontAsk")}));
    EXPECT_FALSE(arguments.contains(QStringLiteral("acceptEdits")));
    const auto env = claudeStandin::readEnvironment(records + QStringLiteral("/env"));
    EXPECT_EQ(env.value(QStringLiteral("VERCEL_TOKEN")), QStringLiteral("vercel-secret"));
    EXPECT_FALSE(env.contains(QStringLiteral("SUPABASE_ACCESS_TOKEN")));
    // nerim-git is told which of the run's variables a push must not carry.
    EXPECT_EQ(env.value(QStringLiteral("NERIM_GIT_SECRET_NAMES")), QStringLiteral("VERCEL_TOKEN"));
}

// The progress line and the DNS records reach the stream while the agent still
// polls; the token request it prints last comes before its exit.
TEST_F(DeployRunsProviderTest, MarkersReachTheStreamWhileTheRunGoes)
{
    const QString release = records + QStringLiteral("/release");
    claudeStandin::setCommands(
        QStringLiteral("out Adding the domain.\\n[NERIM_DEPLOY_PROGRESS] Waiting for DNS\n"
                       "out [NERIM_DEPLOY_DOMAIN_RECORDS] shop.example | [{\"type\":\"A\",\"name\":\"@\",\"value\":\"76.76.21.21\",\"ttl\":300}]\n"
                       "hold %1\n"
                       "out [NERIM_DEPLOY_NEED_TOKEN] VERCEL_TOKEN | to publish\nexit 0")
            .arg(release));
    ClaudeCodeProvider provider(project, standinOptions());
    const AgentSession session = await(provider.spawn(AgentRole::code, {}, {}, QStringLiteral("deploy"), ProjectAwareness{},
                                                      ModelChoice::sonnet45, {}));
    const std::shared_ptr<AgentOutputStream> stream = await(provider.outputStream(session.id));

    QList<DeployMarkers::Signal> signals_;
    const auto take = [&] {
        for (const AgentOutput &event : stream->takeAvailable())
            if (event.kind() == AgentOutput::Kind::stdoutLine)
                if (const auto signal = DeployMarkers::parse(event.text()))
                    signals_.append(*signal);
    };
    ASSERT_TRUE(waitUntil([&] {
        take();
        return signals_.size() == 2;
    }));
    EXPECT_EQ(signals_.at(0).kind, DeployMarkers::Signal::Kind::progress);
    EXPECT_EQ(signals_.at(0).first, QStringLiteral("Waiting for DNS"));
    EXPECT_EQ(signals_.at(1).kind, DeployMarkers::Signal::Kind::domainRecords);
    EXPECT_EQ(signals_.at(1).first, QStringLiteral("shop.example"));
    EXPECT_TRUE(provider.hasSession(session.id));

    QFile(release).open(QIODevice::WriteOnly);
    const QList<AgentOutput> rest = await(collectAll(stream));
    ASSERT_GE(rest.size(), 2);
    EXPECT_EQ(DeployMarkers::parse(rest.at(rest.size() - 2).text())->kind, DeployMarkers::Signal::Kind::needToken);
    EXPECT_EQ(rest.last(), AgentOutput::processExited(0));
}
