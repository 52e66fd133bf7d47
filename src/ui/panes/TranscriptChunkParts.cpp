// A long chunk of prose drawn as parts: rows of a few dozen lines each, so
// that what a row lays out stays small however long the chunk (markup open
// across thousands of lines holds a chunk together). The chunk is read whole,
// and each part shows its part of that reading, so the parts read exactly
// as the chunk does.
#include "ui/panes/TranscriptView.h"

#include "ui/panes/LongLines.h"
#include "ui/panes/MarkdownSegment.h"
#include "ui/panes/StdoutRunView.h"

#include <QRegularExpression>
#include <algorithm>

namespace nerim {

namespace {

// A chunk of more lines than this is drawn in parts of kPartLines lines
// (a few milliseconds of layout each).
constexpr qsizetype kWholeChunkLines = 4 * RunChunks::maximumChunkLines;
constexpr qsizetype kPartLines = RunChunks::maximumChunkLines;

} // namespace

void TranscriptView::appendChunkRows(QList<Row> &items, int group, const RunText &text, const RunChunk &chunk,
                                     int above, qsizetype checkedFrom)
{
    const qsizetype firstLine = text.lineOf(chunk.start);
    const qsizetype lastLine = text.lineOf(chunk.end);
    bool whole = lastLine - firstLine + 1 <= kWholeChunkLines;
    // A code block is drawn by its own view, and a line longer than a slice
    // shows its first slices only: such a chunk stays whole.
    if (!whole) {
        const QRegularExpression &fence = MarkdownSegment::openFencePattern();
        const qsizetype from = std::max(checkedFrom, chunk.start);
        text.forEachLine(from, chunk.end - from, [&](QStringView line) {
            if (!whole && (line.size() > LongLines::sliceLength ||
                           (line.contains(u"```") && fence.match(line.toString()).hasMatch())))
                whole = true;
        });
    }
    if (whole) {
        items.append({group, chunk.start, chunk.end, above});
        return;
    }
    for (qsizetype line = firstLine; line <= lastLine; line += kPartLines) {
        const qsizetype last = std::min(lastLine, line + kPartLines - 1);
        const qsizetype start = line == firstLine ? chunk.start : text.lineStart(line);
        const qsizetype end = last == lastLine ? chunk.end : text.lineEnd(last);
        items.append({group, start, end, line == firstLine ? above : 0, chunk.start});
    }
}

InlineMarkdown TranscriptView::partReading(int index)
{
    const Row &row = m_items.at(index);
    const RunText &text = m_groups.at(row.group).asStdoutRun()->text;
    int last = index;
    while (last + 1 < m_items.size() && m_items[last + 1].group == row.group &&
           m_items[last + 1].chunkStart == row.chunkStart)
        ++last;
    const qsizetype chunkEnd = m_items[last].end;
    ChunkReading &reading = m_chunkReading;
    if (reading.group != row.group || reading.start != row.chunkStart || reading.end != chunkEnd) {
        reading = {row.group,
                   row.chunkStart,
                   chunkEnd,
                   inlineMarkdownText(text.mid(row.chunkStart, chunkEnd - row.chunkStart)),
                   {0}};
        const QString &shown = reading.shown.text;
        for (qsizetype at = shown.indexOf(u'\n'); at >= 0; at = shown.indexOf(u'\n', at + 1))
            reading.lineStarts.append(at + 1);
    }
    // Line breaks are shown as they are: the part's lines are the same
    // lines of what the chunk shows.
    const qsizetype chunkLine = text.lineOf(row.chunkStart);
    const qsizetype first = text.lineOf(row.start) - chunkLine;
    const qsizetype after = text.lineOf(row.end) - chunkLine + 1;
    if (first >= reading.lineStarts.size())
        return inlineMarkdownText(chunkText(row));
    const qsizetype from = reading.lineStarts[first];
    const qsizetype to = after < reading.lineStarts.size() ? reading.lineStarts[after] - 1 : reading.shown.text.size();
    InlineMarkdown part;
    part.text = reading.shown.text.sliced(from, to - from);
    const QList<InlineMarkdown::Span> &spans = reading.shown.spans;
    auto it = std::lower_bound(spans.cbegin(), spans.cend(), from, [](const InlineMarkdown::Span &span, qsizetype at) {
        return span.start + span.length <= at;
    });
    for (; it != spans.cend() && it->start < to; ++it) {
        InlineMarkdown::Span span = *it;
        const qsizetype start = std::max(span.start, from);
        const qsizetype end = std::min(span.start + span.length, to);
        if (end <= start)
            continue;
        span.start = start - from;
        span.length = end - start;
        part.spans.append(std::move(span));
    }
    return part;
}

void TranscriptView::refreshParts()
{
    if (!std::exchange(m_partsChanged, false))
        return;
    for (const int index : m_rows->builtRows()) {
        const Row &row = m_items.at(index);
        if (row.chunkStart < 0)
            continue;
        if (auto *view = qobject_cast<StdoutRunView *>(m_rows->builtRow(index));
            view && view->showPart(chunkText(row), partReading(index)))
            m_rows->rowChanged(index);
    }
}

} // namespace nerim
