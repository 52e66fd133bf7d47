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

// The same cutting as the text grows: `append` takes what was added in time
// that depends only on its own length, so a long open code block costs
// nothing more per line than a short one.
class MarkdownSegmenter {
public:
    // Starts over with `text`.
    void reset(QStringView text);
    // Takes `more`, added at the end of the text. Only the start of a new line
    // can be taken this way; anything else (more that goes on the last line,
    // or a line feed right after a carriage return) returns false and takes
    // nothing: then reset with the whole text.
    bool append(QStringView more);
    const QList<MarkdownSegment> &segments() const { return m_segments; }

private:
    void takeLines(QStringView text);
    void takeLine(QStringView line);

    QList<MarkdownSegment> m_segments;
    bool m_inCode = false;
    // Whether the last segment is prose that the next prose line joins.
    bool m_proseOpen = false;
    // Lines of the open code block so far.
    qsizetype m_codeLines = 0;
    bool m_endsWithCarriageReturn = false;
};

} // namespace nerim
