#pragma once

#include <QString>

namespace nerim::text {

// Number of user-perceived characters (grapheme clusters), counted with ICU:
// a flag, a family emoji or "e" with a combining accent each count as one.
qsizetype characterCount(const QString &text);

// The first `count` user-perceived characters (all of them when there are fewer).
QString characterPrefix(const QString &text, qsizetype count);

// Trims whitespace and newlines from both ends.
inline QString trimmed(const QString &text) { return text.trimmed(); }

// Trims only spaces and tabs from both ends; line breaks stay.
QString trimSpacesAndTabs(const QString &text);

} // namespace nerim::text
