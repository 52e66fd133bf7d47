// What a run prepares before its program starts (the Deploy run's fenced
// tools) is there when the program looks, and a preparation that fails keeps
// the program from starting at all.
#include "ProviderTestSupport.h"
#include "TestAsync.h"
#include "TestEnvironment.h"
#include "agents/AgentError.h"

#include <QFile>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace nerim;
using namespace nerim::test;

TEST(SpawnPreparation, TheProgramStartsOnlyAfterItsPreparationAndNeverWhenItFails)
{
    const QString project = makeTempDir(QStringLiteral("project"));
    const QString prepared = makeTempDir(QStringLiteral("prepared")) + QStringLiteral("/ready");
    const QString marks = makeTempDir(QStringLiteral("marks"));
    claudeStandin::setCommands(QStringLiteral("run cat '%1' > '%2/seen'\nout done").arg(prepared, marks));
    ClaudeCodeProvider provider(project, standinOptions());

    SpawnExtras extras;
    extras.prepare = [prepared] {
        QFile file(prepared);
        if (!file.open(QIODevice::WriteOnly) || file.write("written first") != 13)
            throw std::runtime_error("could not write");
    };
    const AgentSession session = test::await(provider.spawn(AgentRole::deploy, {}, {}, QStringLiteral("deploy"),
                                                            ProjectAwareness{}, ModelChoice::sonnet45, extras));
    test::await(collectAll(test::await(provider.outputStream(session.id))));
    EXPECT_EQ(readFile(marks + QStringLiteral("/seen")), "written first");

    QFile::remove(marks + QStringLiteral("/seen"));
    extras.prepare = [] { throw std::runtime_error("the Supabase tool could not be prepared: disk full"); };
    try {
        test::await(provider.spawn(AgentRole::deploy, {}, {}, QStringLiteral("deploy"), ProjectAwareness{},
                                   ModelChoice::sonnet45, extras));
        ADD_FAILURE() << "the run started without its preparation";
    } catch (const AgentError &error) {
        EXPECT_EQ(error.kind(), AgentError::Kind::spawnFailed);
        EXPECT_TRUE(error.description().contains(QLatin1String("disk full"))) << error.description().toStdString();
    }
    EXPECT_FALSE(QFile::exists(marks + QStringLiteral("/seen")));
}
