#pragma once

// Helpers for tests that run the stand-in `claude` program (see main.cpp in this
// folder for its knobs). Link `nerim_claude_standin_support` to use them.

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QString>
#include <QStringList>

namespace nerim::test::claudeStandin {

// The stand-in executable, named `claude`.
inline QString path() { return QStringLiteral(NERIM_CLAUDE_STANDIN_PATH); }
// Its folder, to put on PATH.
inline QString folder() { return QFileInfo(path()).absolutePath(); }

// Sets the script the stand-in plays, inline.
inline void setCommands(const QString &commands) { qputenv("CLAUDE_STANDIN_COMMANDS", commands.toUtf8()); }

// A NUL-separated recording (arguments, environment) as a list.
inline QStringList readList(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList items;
    for (const QByteArray &item : f.readAll().split('\0'))
        items.append(QString::fromUtf8(item));
    if (!items.isEmpty() && items.last().isEmpty())
        items.removeLast();
    return items;
}

// A recorded environment as a map.
inline QHash<QString, QString> readEnvironment(const QString &file)
{
    QHash<QString, QString> env;
    for (const QString &entry : readList(file)) {
        const qsizetype eq = entry.indexOf(QLatin1Char('='));
        if (eq > 0)
            env.insert(entry.left(eq), entry.mid(eq + 1));
    }
    return env;
}

} // namespace nerim::test::claudeStandin
