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
