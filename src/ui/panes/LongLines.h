#pragma once

#include <QString>
#include <QStringView>

namespace nerim::LongLines {

// A line of a transcript longer than a slice shows only its first slices
// (`Show more` adds one), so that laying out what is shown stays cheap
// however long the line is. Lengths are in UTF-16 units.
inline constexpr qsizetype sliceLength = 16 * 1024;

// How much of `line` shows with `slices` slices: all of it when it fits,
// else about `slices * sliceLength` units, ending after a space when one is
// near and never inside a surrogate pair. The same line and count always
// give the same length.
qsizetype shownLength(QStringView line, int slices);

// `text` with each of its lines (separated by "\n") cut to its shown length.
struct Elided {
    QString text;
    // How many units of the lines are not shown.
    qsizetype hidden = 0;
};
Elided elide(QStringView text, int slices);
// The same for a string: when no line is cut, the result shares its text
// (no copy is made).
Elided elide(const QString &text, int slices);

// The longest line of `text` (cheap: one pass over the text).
qsizetype longestLine(QStringView text);

} // namespace nerim::LongLines
