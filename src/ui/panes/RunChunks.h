#pragma once

#include <QList>
#include <QString>

namespace nerim {

// A run of agent output is drawn in chunks of a few lines each, so that a
// growing answer only redraws its last chunk and a long one only builds the
// chunks in view. A chunk is cut only where the cut cannot show: outside code
// blocks, and either between two lines of prose that are not blank (the chunks
// then touch, as the lines would) or where a code block begins or ends (with
// the usual gap between a run's segments).
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

// Cuts `text` from `from` on (the start of a line outside any code block, as
// the start of the text or of a chunk is) into chunks. Lines end at a line
// feed that does not follow a carriage return, as the fence splitter reads
// them. The last chunk reaches the end of the text; it is the one that grows
// when more text is appended.
QList<RunChunk> cutRunChunks(const QString &text, qsizetype from = 0);

} // namespace nerim
