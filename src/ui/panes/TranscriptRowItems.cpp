// A transcript's groups turned into rows: a line is a row, a run is cut into
// chunk rows (a run that goes on regrows only from its first changed chunk),
// the widget each row is drawn with, a long line's slices shown on request,
// and the estimated height of a row not built.
#include "ui/panes/TranscriptView.h"

#include "ui/panes/LongLines.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptViewParts.h"

#include <algorithm>

namespace nerim {

using transcript::kLineHeight;

namespace {

// Rough widths and heights of rows not yet built, close enough for the scroll bar.
constexpr int kAverageCharacterWidth = 7;
constexpr int kCodeBlockChrome = 44;

int wrappedLines(QStringView text, int width)
{
    const int perLine = std::max(1, width / kAverageCharacterWidth);
    int lines = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == u'\n') {
            lines += 1 + int((i - start) / perLine);
            start = i + 1;
        }
    }
    return lines;
}

} // namespace

void TranscriptView::addRowsFrom(qsizetype firstGroup)
{
    addRows(m_groups, firstGroup, m_items, m_openRunGroup, m_openRunChunker);
}

void TranscriptView::addRows(const QList<RenderGroup> &groups, qsizetype firstGroup, QList<Row> &items,
                             int &openRunGroup, RunChunker &openRunChunker)
{
    for (qsizetype group = firstGroup; group < groups.size(); ++group) {
        const int gap = items.isEmpty() ? 0 : TranscriptRows::spacing;
        const auto *run = groups[group].asStdoutRun();
        if (!run) {
            items.append({int(group), 0, 0, gap});
            continue;
        }
        int above = gap;
        // The last run may go on: its chunker is kept to read only what is added.
        RunChunker chunker;
        const QList<RunChunk> chunks = chunker.update(run->text);
        openRunGroup = int(group);
        openRunChunker = chunker;
        for (const RunChunk &chunk : chunks) {
            appendChunkRows(items, int(group), run->text, chunk, above, chunk.start);
            above = chunk.gapAfter;
        }
    }
}

void TranscriptView::appendFrom(qsizetype firstNewLine, qsizetype end)
{
    const qsizetype groupsBefore = m_groups.size();
    const int rowsBefore = int(m_items.size());
    const qsizetype firstChanged = extendRenderGroups(m_groups, m_pane->outputLines(), firstNewLine, m_mode, end);
    if (firstChanged < groupsBefore) {
        const RunGrowth grown =
            regrowRun(m_groups, firstChanged, rowsBefore, m_items, m_openRunGroup, m_openRunChunker);
        if (grown.first >= 0) {
            // The rows after the first one that changed went with the cut.
            m_rows->truncate(grown.first + 1);
            const bool part = m_items[grown.first].chunkStart >= 0;
            if (grown.otherKind) {
                if (m_rows->builtRow(grown.first))
                    m_rows->rebuildRow(grown.first);
                m_partsChanged = true;
            } else if (part) {
                // Shown again once this turn's lines are in: a part shows
                // its part of the whole chunk's reading.
                m_partsChanged = true;
            } else if (auto *view = qobject_cast<StdoutRunView *>(m_rows->builtRow(grown.first))) {
                const Row &row = m_items[grown.first];
                const auto *run = m_groups[firstChanged].asStdoutRun();
                if (view->rawText().size() == grown.shownEnd - row.start && row.end >= grown.shownEnd)
                    view->appendRawText(run->text.mid(grown.shownEnd, row.end - grown.shownEnd));
                else
                    view->setRawText(chunkText(row));
            }
            m_rows->rowChanged(grown.first);
        }
    }
    addRowsFrom(groupsBefore);
    if (m_items.size() > m_rows->rowCount())
        m_rows->append(int(m_items.size()) - m_rows->rowCount());
}

TranscriptView::RunGrowth TranscriptView::regrowRun(const QList<RenderGroup> &groups, qsizetype group, int rowCount,
                                                   QList<Row> &items, int &openRunGroup, RunChunker &openRunChunker)
{
    // Only the last group can change: a run that goes on. Its last chunk
    // grows, and chunks may follow it.
    const auto *run = groups[group].asStdoutRun();
    const int open = rowCount - 1;
    if (!run || open < 0 || items[open].group != int(group))
        return {};
    if (openRunGroup != int(group)) {
        openRunGroup = int(group);
        // (A part's chunk is cut again from its start.)
        openRunChunker = RunChunker(items[open].chunkStart >= 0 ? items[open].chunkStart : items[open].start);
    }
    const QList<RunChunk> chunks = openRunChunker.update(run->text);
    // The chunks from the first one that changed: the open one, or an
    // earlier one whose cut the new lines took back (the rows after it go,
    // and it takes their text).
    int first = open;
    while (first > 0 && items[first - 1].group == int(group) && items[first].start > chunks.first().start)
        --first;
    const QList<Row> before = items.mid(first);
    // The parts of a chunk cut before keep their places: only the lines
    // from its last part on are looked at again.
    const qsizetype chunkStart = chunks.first().start;
    const bool wasParts = before.first().start == chunkStart && before.first().chunkStart == chunkStart &&
                           before.last().chunkStart == chunkStart;
    const qsizetype checkedFrom = wasParts ? before.last().start : chunkStart;
    items.resize(first);
    int above = before.first().gapAbove;
    for (const RunChunk &chunk : chunks) {
        appendChunkRows(items, int(group), run->text, chunk, above,
                        chunk.start == chunkStart ? checkedFrom : chunk.start);
        above = chunk.gapAfter;
    }
    // The first row whose place or kind changed.
    int changed = first;
    while (changed + 1 < items.size() && changed - first < before.size() && items[changed] == before[changed - first])
        ++changed;
    const Row *was = changed - first < before.size() ? &before[changed - first] : nullptr;
    // (A part's widget is made again when the row it stood for was not the
    // same part: it shows only its part of the chunk.)
    const Row &now = items[changed];
    const bool otherKind =
        was && ((was->chunkStart < 0) != (now.chunkStart < 0) || (now.chunkStart >= 0 && was->start != now.start));
    const qsizetype shownEnd = was && was->start == items[changed].start ? was->end : items[changed].start;
    return {changed, shownEnd, otherKind};
}

QString TranscriptView::chunkText(const Row &row) const
{
    const auto *run = m_groups.at(row.group).asStdoutRun();
    return run ? run->text.mid(row.start, row.end - row.start) : QString();
}

QWidget *TranscriptView::makeRow(int index, QWidget *parent)
{
    const Row &row = m_items.at(index);
    const RenderGroup &group = m_groups.at(row.group);
    if (group.asStdoutRun()) {
        if (row.chunkStart >= 0)
            return new StdoutRunView(chunkText(row), partReading(index), parent);
        auto *view = new StdoutRunView(chunkText(row), parent, shownSlices(row));
        connect(view, &StdoutRunView::showMoreRequested, this, [this, view] { showMore(view); });
        return view;
    }
    auto *view = new OutputLineView(group.asSingle()->line, parent, shownSlices(row));
    connect(view, &OutputLineView::showMoreRequested, this, [this, view] { showMore(view); });
    return view;
}

int TranscriptView::shownSlices(const Row &row) const { return m_revealed.value({row.group, row.start}, 1); }

void TranscriptView::showMore(QWidget *widget)
{
    const int index = m_rows->indexOf(widget);
    if (index < 0)
        return;
    const Row &row = m_items.at(index);
    m_revealed.insert({row.group, row.start}, shownSlices(row) + 1);
    // Queued: the button that asked is inside the widget being replaced.
    QMetaObject::invokeMethod(
        this,
        [this, index] {
            if (index >= m_rows->rowCount())
                return;
            // The view stays where it is; the row grows below its top.
            const qint64 position = m_position;
            m_rows->rebuildRow(index);
            fitRows();
            setScrollPosition(position);
            buildVisibleRows();
        },
        Qt::QueuedConnection);
}

int TranscriptView::estimateRow(int index, int width) const
{
    const Row &row = m_items.at(index);
    return estimateItem(row, m_groups.at(row.group), shownSlices(row), width);
}

int TranscriptView::estimateItem(const Row &row, const RenderGroup &group, int slices, int width)
{
    if (const auto *run = group.asStdoutRun()) {
        // Read in place, line by line: the chunk's text is never put together.
        int lines = 0;
        int fences = 0;
        run->text.forEachLine(row.start, row.end - row.start, [&](QStringView line) {
            lines += wrappedLines(line.first(LongLines::shownLength(line, slices)), width);
            fences += int(line.count(u"```"));
        });
        return lines * kLineHeight + (fences + 1) / 2 * kCodeBlockChrome;
    }
    const OutputLine &line = group.asSingle()->line;
    const QStringView text(line.text);
    const int lines = wrappedLines(text.first(LongLines::shownLength(text, slices)), width);
    switch (line.kind) {
    case OutputLine::Kind::userPrompt: return lines * kLineHeight + 8;
    case OutputLine::Kind::taskComplete: return lines * kLineHeight + 20;
    default: return lines * kLineHeight;
    }
}

} // namespace nerim
