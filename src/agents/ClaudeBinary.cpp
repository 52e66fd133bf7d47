#include "agents/ClaudeBinary.h"

#include <QDir>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <unistd.h>

namespace nerim {

QStringList claudeBinaryCandidates(const QString &homePath, const std::optional<QString> &pathVariable)
{
    QStringList candidates{QStringLiteral("/usr/local/bin/claude")};
    const auto add = [&candidates](const QString &candidate) {
        if (!candidates.contains(candidate))
            candidates.append(candidate);
    };
    add(homePath + QStringLiteral("/.local/bin/claude"));
    add(homePath + QStringLiteral("/.claude/local/claude"));
    if (pathVariable) {
        for (const QString &entry : pathVariable->split(QLatin1Char(':'), Qt::SkipEmptyParts))
            add(entry + QStringLiteral("/claude"));
    }
    return candidates;
}

QStringList claudeBinaryCandidates()
{
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    std::optional<QString> path;
    if (env.contains(QStringLiteral("PATH")))
        path = env.value(QStringLiteral("PATH"));
    return claudeBinaryCandidates(QDir::homePath(), path);
}

std::optional<QString> resolveClaudeBinary(const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        const QFileInfo info(candidate);
        if (!info.isFile())
            continue;
        // access(2) asks the kernel, which also knows about ACLs and read-only mounts.
        if (::access(QFile::encodeName(candidate).constData(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

std::optional<QString> resolveClaudeBinary() { return resolveClaudeBinary(claudeBinaryCandidates()); }

} // namespace nerim
