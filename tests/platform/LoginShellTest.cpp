#include "platform/LoginShell.h"

#include "TestEnvironment.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

TEST(LoginShell, IsAnExecutableShell)
{
    const QString shell = nerim::platform::loginShell();
    EXPECT_TRUE(QFileInfo(shell).isExecutable()) << shell.toStdString();
}

TEST(PosixShell, FallsBackToBashForOtherShells)
{
    EXPECT_EQ(nerim::platform::posixShell(QStringLiteral("/bin/bash")), QStringLiteral("/bin/bash"));
    if (QFileInfo(QStringLiteral("/bin/sh")).isExecutable()) {
        EXPECT_EQ(nerim::platform::posixShell(QStringLiteral("/bin/sh")), QStringLiteral("/bin/sh"));
    }
    // An existing shell that does not speak POSIX quoting is not used.
    const QString fish = nerim::test::makeTempDir() + QStringLiteral("/fish");
    ASSERT_TRUE(nerim::test::writeFile(fish, "#!/bin/sh\n"));
    QFile::setPermissions(fish, QFile::permissions(fish) | QFileDevice::ExeOwner);
    EXPECT_EQ(nerim::platform::posixShell(fish), QStringLiteral("/bin/bash"));
    EXPECT_EQ(nerim::platform::posixShell(QStringLiteral("/no/such/zsh")), QStringLiteral("/bin/bash"));
    EXPECT_EQ(nerim::platform::posixShell(QString()), QStringLiteral("/bin/bash"));
}
