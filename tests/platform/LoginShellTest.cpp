#include "platform/LoginShell.h"

#include <QFileInfo>
#include <gtest/gtest.h>

TEST(LoginShell, IsAnExecutableShell)
{
    const QString shell = nerim::platform::loginShell();
    EXPECT_TRUE(QFileInfo(shell).isExecutable()) << shell.toStdString();
}
