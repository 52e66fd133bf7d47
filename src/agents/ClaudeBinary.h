#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// Where `claude` is looked for, in order: "/usr/local/bin/claude",
// <home>/.local/bin/claude, <home>/.claude/local/claude, then <entry>/claude for
// each non-empty entry of PATH, in PATH order. A place is looked at once: a PATH
// entry that repeats an earlier place is left out, so the not-found error lists
// each place searched once, in the order searched.
QStringList claudeBinaryCandidates(const QString &homePath, const std::optional<QString> &pathVariable);
// The same for this process's home folder and PATH.
QStringList claudeBinaryCandidates();

// The first candidate that is a regular file (after following links) the user
// may execute; a folder named `claude` does not count. Nothing when none is.
std::optional<QString> resolveClaudeBinary(const QStringList &candidates);
std::optional<QString> resolveClaudeBinary();

} // namespace nerim
