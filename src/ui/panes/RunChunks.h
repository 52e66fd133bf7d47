#pragma once

#include "agents/OutputLines.h"

#include <QList>
#include <QString>

namespace nerim {

// The text of a run of agent output: its lines' texts joined with "\n", with
// the place where each ends. Lines taken from a transcript are read from it
// when a stretch is asked for (the run holds no copy of their text); lines
// given as strings are held as those strings. Any stretch of it is put
// together on demand.
class RunText {
public:
    RunText() = default;
    explicit RunText(const QString &firstLine) { append(firstLine); }
    // A run whose first line is line `index` of `lines`.
    RunText(const OutputLines &lines, qsizetype index) { append(lines, index); }

    // Adds a line at the end (after a "\n" unless it is the first).
    void append(const QString &line);
    // Adds line `index` of `lines`; held by reference when it follows the
    // run's last line there.
    void append(const OutputLines &lines, qsizetype index);

    qsizetype size() const { return m_ends.isEmpty() ? 0 : m_ends.last(); }
    bool isEmpty() const { return size() == 0; }
    // [from, from + length) of the joined text.
    QString mid(qsizetype from, qsizetype length) const;
    QString toString() const { return mid(0, size()); }
    // How many of the text's characters are in [from, from + length) and
    // match `needle` wholly inside one line.
    qsizetype count(qsizetype from, qsizetype length, QStringView needle) const;

    friend bool operator==(const RunText &a, const RunText &b)
    {
        return a.size() == b.size() && a.toString() == b.toString();
    }

private:
    // The line that holds position `at` (its line break counts as its own).
    qsizetype lineAt(qsizetype at) const;
    QString lineText(qsizetype line) const;
    qsizetype lineCount() const { return m_ends.size(); }

    // Lines [m_first, m_first + m_fromTranscript) of m_transcript come first;
    // lines given as strings follow.
    OutputLines m_transcript;
    qsizetype m_first = 0;
    qsizetype m_fromTranscript = 0;
    QList<QString> m_lines;
    // Where each line ends in the joined text.
    QList<qsizetype> m_ends;
};

// A run of agent output is drawn in chunks of a few lines each, so that a
// growing answer only redraws its last chunk and a long one only builds the
// chunks in view. A chunk is cut only where the cut cannot show: outside code
// blocks, and either between two lines of prose that are not blank (the chunks
// then touch, as the lines would) or where a code block begins or ends (with
// the usual gap between a run's segments). Prose is never cut where inline
// Markdown (emphasis, code, a link) is open across the line break, or could
// still be closed by text after it: each chunk, read alone, reads as the run.
struct RunChunk {
    // [start, end) of the run's text, without the line break after it.
    qsizetype start = 0;
    qsizetype end = 0;
    // The space between this chunk and the next: 0 inside prose, the segment
    // gap where a code block begins or ends.
    int gapAfter = 0;

    friend bool operator==(const RunChunk &, const RunChunk &) = default;
};

namespace RunChunks {
// A chunk is cut at the first place it may be, once it has this many lines.
inline constexpr int chunkLines = 12;
// Past this many lines, a chunk of prose is cut at the next line break even
// next to a blank line.
inline constexpr int maximumChunkLines = 36;
// The gap between a run's prose and its code blocks.
inline constexpr int segmentGap = 6;
} // namespace RunChunks

// Cuts a growing run into chunks, reading each line once: `update` takes the
// run's text each time it grew (only ever appended to) and returns the chunks
// from the one that was open before on; the last one is open.
class RunChunker {
public:
    // Cuts from `from` on: the start of a line outside any code block, as the
    // start of the text or of a chunk is.
    explicit RunChunker(qsizetype from = 0);

    QList<RunChunk> update(const RunText &text);
    QList<RunChunk> update(const QString &text) { return update(RunText(text)); }

private:
    // Whether inline Markdown is open across the line break at `lineBreak`,
    // in the prose that ends at `proseEnd`.
    bool inlineOpenAcross(const RunText &text, qsizetype lineBreak, qsizetype proseEnd);

    qsizetype m_chunkStart = 0;
    int m_count = 0;
    bool m_inCode = false;
    // The start of the last line read, not yet decided on.
    qsizetype m_lineStart = 0;
    // Where the prose the last line belongs to began.
    qsizetype m_proseStart = 0;
    bool m_lastWasProse = false;
    // The stretches inline Markdown holds open, read over [from, to).
    qsizetype m_parsedFrom = -1;
    qsizetype m_parsedTo = -1;
    QList<std::pair<qsizetype, qsizetype>> m_open;
};

// Cuts `text` from `from` on (the start of a line outside any code block, as
// the start of the text or of a chunk is) into chunks. Lines end at a line
// feed that does not follow a carriage return, as the fence splitter reads
// them. The last chunk reaches the end of the text; it is the one that grows
// when more text is appended.
QList<RunChunk> cutRunChunks(const QString &text, qsizetype from = 0);

} // namespace nerim
