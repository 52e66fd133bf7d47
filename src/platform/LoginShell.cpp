#include "platform/LoginShell.h"

#include <QFileInfo>
#include <QSet>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace nerim::platform {

QString posixShell(const QString &candidate)
{
    // Commands are written with POSIX quoting; other shells would misread them.
    static const QSet<QString> posixLike{QStringLiteral("sh"),    QStringLiteral("bash"), QStringLiteral("zsh"),
                                         QStringLiteral("dash"),  QStringLiteral("ksh"),  QStringLiteral("mksh"),
                                         QStringLiteral("ksh93"), QStringLiteral("yash")};
    const QFileInfo info(candidate);
    if (info.isFile() && info.isExecutable() && posixLike.contains(info.fileName()))
        return candidate;
    return QStringLiteral("/bin/bash");
}

QString loginShell()
{
    passwd entry{};
    passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_shell)
        return posixShell(QString::fromLocal8Bit(found->pw_shell));
    return QStringLiteral("/bin/bash");
}

} // namespace nerim::platform
