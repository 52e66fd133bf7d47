#pragma once

#include <QByteArray>
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

// The value of an ASCII hex digit (either case), or -1 for any other character.
constexpr int hexDigitValue(char32_t c)
{
    if (c >= U'0' && c <= U'9')
        return int(c - U'0');
    if (c >= U'a' && c <= U'f')
        return int(c - U'a') + 10;
    if (c >= U'A' && c <= U'F')
        return int(c - U'A') + 10;
    return -1;
}

// Appends one code point as UTF-8. A lone surrogate's unit is written in the
// three bytes it would take, as the transcript's storage holds it.
inline void appendUtf8(QByteArray &out, char32_t code)
{
    if (code < 0x80) {
        out.append(char(code));
    } else if (code < 0x800) {
        out.append(char(0xC0 | (code >> 6)));
        out.append(char(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out.append(char(0xE0 | (code >> 12)));
        out.append(char(0x80 | ((code >> 6) & 0x3F)));
        out.append(char(0x80 | (code & 0x3F)));
    } else {
        out.append(char(0xF0 | (code >> 18)));
        out.append(char(0x80 | ((code >> 12) & 0x3F)));
        out.append(char(0x80 | ((code >> 6) & 0x3F)));
        out.append(char(0x80 | (code & 0x3F)));
    }
}

} // namespace nerim::text
