#pragma once

#include <QString>
#include <QStringList>

namespace nerim {

// Entry names never listed, at any level (exact, case-sensitive).
const QStringList &fileTreeSkippedNames();
// Top-level folders whose entries are listed one level down (exact, case-sensitive).
const QStringList &fileTreeExpandedNames();
// The summary's size limit in UTF-8 bytes (each line also pays 1 for its newline).
inline constexpr qsizetype fileTreeBudget = 4096;
// Entries of an expanded folder considered before the rest is summarised.
inline constexpr qsizetype fileTreeChildLimit = 12;

// A short indented summary of a project folder for the Plans agent: the
// top-level files and folders (folders first, then by name in the user's
// locale, case-insensitively), with the entries of the usual source folders
// one level down, without hidden entries, build output or dependency folders,
// and at most 4095 bytes long. Never fails: problems give a shorter or empty
// text. Touches no shared state; may run on any thread.
QString buildProjectFileTree(const QString &projectPath);

} // namespace nerim
