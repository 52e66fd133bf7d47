#include "ui/panes/RunChunks.h"

#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/MarkdownSegment.h"

#include <QRegularExpression>
#include <algorithm>

namespace nerim {

namespace {

QList<std::pair<qsizetype, qsizetype>> linesFrom(const QString &text, qsizetype from)
{
    QList<std::pair<qsizetype, qsizetype>> lines;
    qsizetype start = from;
    for (qsizetype i = from; i < text.size(); ++i) {
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
            lines.append({start, i});
            start = i + 1;
        }
    }
    lines.append({start, text.size()});
    return lines;
}

bool isBlank(QStringView line) { return line.trimmed().isEmpty(); }

} // namespace

RunChunker::RunChunker(qsizetype from)
    : m_chunkStart(from)
    , m_lineStart(from)
    , m_proseStart(from)
{
}

bool RunChunker::inlineOpenAcross(const QString &text, qsizetype lineBreak, qsizetype proseEnd)
{
    if (lineBreak >= m_parsedTo || m_parsedFrom < 0) {
        // The prose from the open chunk's start (a place where nothing is
        // open) to the end of its stretch, read once for every cut in it.
        m_parsedFrom = std::max(m_proseStart, m_chunkStart);
        m_parsedTo = proseEnd;
        QList<std::pair<qsizetype, qsizetype>> ranges =
            inlineMarkdownOpenRanges(text.mid(m_parsedFrom, m_parsedTo - m_parsedFrom));
        std::sort(ranges.begin(), ranges.end());
        m_open.clear();
        for (const auto &[first, last] : ranges) {
            if (!m_open.isEmpty() && m_parsedFrom + first < m_open.last().second)
                m_open.last().second = std::max(m_open.last().second, m_parsedFrom + last);
            else
                m_open.append({m_parsedFrom + first, m_parsedFrom + last});
        }
    }
    // The last stretch that starts before the line break.
    const auto it = std::lower_bound(m_open.cbegin(), m_open.cend(), lineBreak,
                                     [](const std::pair<qsizetype, qsizetype> &range, qsizetype at) {
                                         return range.first < at;
                                     });
    return it != m_open.cbegin() && std::prev(it)->second > lineBreak;
}

QList<RunChunk> RunChunker::update(const QString &text)
{
    const QRegularExpression &openFence = MarkdownSegment::openFencePattern();
    const QRegularExpression &closeFence = MarkdownSegment::closeFencePattern();
    // Lines from the last one seen before (it may have grown) on.
    const auto lines = linesFrom(text, m_lineStart);
    const auto lineAt = [&](qsizetype i) {
        return QStringView(text).sliced(lines[i].first, lines[i].second - lines[i].first);
    };
    QList<bool> opensBlock(lines.size());
    for (qsizetype i = 0; i < lines.size(); ++i)
        opensBlock[i] = openFence.match(lineAt(i)).hasMatch();
    // Where the prose around line i ends: before the next line that opens a block.
    qsizetype proseEndLine = -1;
    const auto proseEnd = [&](qsizetype i) {
        if (proseEndLine < i) {
            proseEndLine = i;
            while (proseEndLine + 1 < lines.size() && !opensBlock[proseEndLine + 1])
                ++proseEndLine;
        }
        return lines[proseEndLine].second;
    };
    m_parsedFrom = -1;

    QList<RunChunk> chunks;
    // The last line is not decided on: it is read again with the next text.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QStringView line = lineAt(i);
        const bool opens = !m_inCode && opensBlock[i];
        bool closes = false;
        if (opens) {
            m_inCode = true;
        } else if (m_inCode && closeFence.match(line).hasMatch()) {
            m_inCode = false;
            closes = true;
        }
        const bool prose = !opens && !closes && !m_inCode;
        if (prose && !m_lastWasProse)
            m_proseStart = lines[i].first;
        m_lastWasProse = prose;
        m_lineStart = lines[i + 1].first;
        ++m_count;
        if (m_inCode || m_count < RunChunks::chunkLines)
            continue;
        const bool nextOpens = opensBlock[i + 1];
        const QStringView next = lineAt(i + 1);
        int gap = -1;
        if (closes || (prose && nextOpens))
            gap = RunChunks::segmentGap;
        else if (prose && ((!isBlank(line) && !isBlank(next)) || m_count >= RunChunks::maximumChunkLines)
                 && !inlineOpenAcross(text, lines[i].second, proseEnd(i)))
            gap = 0;
        if (gap < 0)
            continue;
        chunks.append({m_chunkStart, lines[i].second, gap});
        m_chunkStart = lines[i + 1].first;
        m_count = 0;
    }
    chunks.append({m_chunkStart, text.size(), 0});
    return chunks;
}

QList<RunChunk> cutRunChunks(const QString &text, qsizetype from) { return RunChunker(from).update(text); }

} // namespace nerim
