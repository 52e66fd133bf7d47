#pragma once

#include <QList>
#include <QString>
#include <optional>
#include <variant>

class QRegularExpression;

namespace nerim {

// A piece of agent text: a stretch of prose, or a fenced code block.
struct MarkdownSegment {
    // One or more consecutive lines outside any fence, joined with "\n". An
    // empty text stands for one empty line.
    struct Prose {
        QString text;
        friend bool operator==(const Prose &, const Prose &) = default;
    };
    // The lines between an opening fence and its closing fence (or the end of
    // the text), joined with "\n". `language` is the word right after the
    // opening backticks as written, absent when there is none; `closed` says
    // whether the closing fence arrived.
    struct Code {
        std::optional<QString> language;
        QString body;
        bool closed = false;
        friend bool operator==(const Code &, const Code &) = default;
    };

    std::variant<Prose, Code> value;

    static MarkdownSegment prose(QString text) { return {Prose{std::move(text)}}; }
    static MarkdownSegment code(std::optional<QString> language, QString body, bool closed)
    {
        return {Code{std::move(language), std::move(body), closed}};
    }

    bool isProse() const { return std::holds_alternative<Prose>(value); }
    bool isCode() const { return std::holds_alternative<Code>(value); }
    const Prose *asProse() const { return std::get_if<Prose>(&value); }
    const Code *asCode() const { return std::get_if<Code>(&value); }

    // A line that opens a block: three backticks and an optional language word
    // ([a-zA-Z0-9_+.-]*), white space allowed around them. Group 1 is the word.
    static const QRegularExpression &openFencePattern();
    // A line that closes a block: three backticks, white space allowed around them.
    static const QRegularExpression &closeFencePattern();

    friend bool operator==(const MarkdownSegment &, const MarkdownSegment &) = default;
};

// Cuts agent text into prose and fenced code blocks, in text order. Lines are
// the pieces between line feeds; a line feed right after a carriage return is
// not a break (the pair is one character), so it stays inside its line. Fence
// lines are dropped; every other line lands in exactly one segment, unchanged.
// A block still open at the end comes back with `closed` false. Never empty:
// the empty text gives one empty prose segment.
QList<MarkdownSegment> splitMarkdownSegments(const QString &text);

} // namespace nerim
