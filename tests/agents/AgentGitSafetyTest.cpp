// An agent's routine git commands (which the agent program runs without
// asking) run nothing a cloned project's git configuration planted, in a task
// pane's run, a Repair run and a Deploy run alike, while the user's own
// credential helper still answers.
#include "ProviderTestSupport.h"
#include "TestAsync.h"
#include "TestEnvironment.h"

#include "PlantedRepository.h"

#include <gtest/gtest.h>

using namespace nerim;
using namespace nerim::test;

namespace {

struct RunKind {
    const char *name;
    AgentRole role;
    SpawnExtras extras;
};

} // namespace

TEST(AgentGitSafety, NothingThePlantedRepositoryNamesRunsInAnyKindOfAgentRun)
{
    const QList<RunKind> kinds{
        {"task pane", AgentRole::code, {}},
        {"repair", AgentRole::code, {}},
        {"deploy", AgentRole::deploy,
         SpawnExtras{{{QStringLiteral("VERCEL_TOKEN"), QStringLiteral("token-in-the-environment")}},
                     {makeTempDir(QStringLiteral("tools-bin"))},
                     {QStringLiteral("--allowedTools"), QStringLiteral("Bash(git:*)")}}},
    };
    for (const RunKind &kind : kinds) {
        const PlantedRepository planted = PlantedRepository::create(QString::fromLatin1(kind.name).replace(' ', '-'));
        if (planted.folder.isEmpty())
            GTEST_SKIP() << "git is not installed";
        claudeStandin::setCommands(QStringLiteral("run ") + planted.routineCommands() + QStringLiteral("\nout done"));
        ClaudeCodeProvider provider(planted.folder, standinOptions());
        const AgentSession session = test::await(
            provider.spawn(kind.role, {}, {}, QStringLiteral("look at the changes"), ProjectAwareness{},
                           ModelChoice::sonnet45, kind.extras));
        test::await(collectAll(test::await(provider.outputStream(session.id))));
        EXPECT_TRUE(planted.marksLeft().isEmpty()) << kind.name << ": " << planted.marksLeft().join(' ').toStdString();
        EXPECT_TRUE(planted.ownHelperAnswer().contains("password=from-your-own-helper")) << kind.name;
        EXPECT_EQ(planted.lastCommit(), "work") << kind.name;
    }
}
