#include "platform/LoginShell.h"

#include <QFileInfo>
#include <pwd.h>
#include <unistd.h>

namespace nerim::platform {

QString loginShell()
{
    if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_shell && *entry->pw_shell) {
        const QString shell = QString::fromLocal8Bit(entry->pw_shell);
        const QFileInfo info(shell);
        // nologin/false are not shells a command can run in.
        const QString name = info.fileName();
        if (info.isExecutable() && name != QLatin1String("nologin") && name != QLatin1String("false"))
            return shell;
    }
    return QStringLiteral("/bin/bash");
}

} // namespace nerim::platform
