// The web engine's sandbox is left off for root alone, whose sandbox the
// engine refuses to start; everyone else keeps it.
#include "preview/PreviewSandbox.h"

#include <gtest/gtest.h>

using namespace nerim;

TEST(PreviewSandbox, OnlyRootRunsTheEngineWithoutItsSandbox)
{
    EXPECT_TRUE(PreviewSandbox::runsWithoutSandbox(0));
    EXPECT_EQ(PreviewSandbox::engineArguments(0),
              (QStringList{QStringLiteral("--webEngineArgs"), QStringLiteral("--no-sandbox")}));
    for (const uid_t uid : {uid_t(1), uid_t(1000), uid_t(65534), uid_t(4294967294u)}) {
        EXPECT_FALSE(PreviewSandbox::runsWithoutSandbox(uid)) << uid;
        EXPECT_TRUE(PreviewSandbox::engineArguments(uid).isEmpty()) << uid;
    }
}

// What the application object is given: the program's own arguments first,
// the engine's after them for root only, counted, and ended by a null pointer.
TEST(PreviewSandbox, TheCommandLineEndsWithTheEngineArgumentsForRootOnly)
{
    char program[] = "nerim";
    char link[] = "nerim://pair?x=1";
    char *argv[] = {program, link, nullptr};
    PreviewSandbox::EngineCommandLine asRoot(2, argv, 0);
    EXPECT_TRUE(asRoot.addsArguments());
    ASSERT_EQ(asRoot.argc(), 4);
    QStringList seen;
    for (int i = 0; i < asRoot.argc(); ++i)
        seen.append(QString::fromUtf8(asRoot.argv()[i]));
    EXPECT_EQ(seen, (QStringList{QStringLiteral("nerim"), QStringLiteral("nerim://pair?x=1"),
                                 QStringLiteral("--webEngineArgs"), QStringLiteral("--no-sandbox")}));
    EXPECT_EQ(asRoot.argv()[4], nullptr);

    PreviewSandbox::EngineCommandLine asUser(2, argv, 1000);
    EXPECT_FALSE(asUser.addsArguments());
    ASSERT_EQ(asUser.argc(), 2);
    EXPECT_EQ(asUser.argv()[0], program);
    EXPECT_EQ(asUser.argv()[1], link);
    EXPECT_EQ(asUser.argv()[2], nullptr);
}
