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

void RunText::append(const QString &line)
{
    const qsizetype start = m_ends.isEmpty() ? 0 : m_ends.last() + 1;
    m_lines.append(line);
    m_ends.append(start + line.size());
}

void RunText::append(const OutputLines &lines, qsizetype index)
{
    const bool follows = m_fromTranscript > 0 && m_first + m_fromTranscript == index && m_transcript.sharesStorageWith(lines);
    if (!m_lines.isEmpty() || (lineCount() > 0 && !follows)) {
        append(lines.text(index));
        return;
    }
    if (lineCount() == 0)
        m_first = index;
    // The copy taken now holds the new line too.
    m_transcript = lines;
    ++m_fromTranscript;
    const qsizetype start = m_ends.isEmpty() ? 0 : m_ends.last() + 1;
    m_ends.append(start + lines.textLength(index));
}

QString RunText::lineText(qsizetype line) const
{
    return line < m_fromTranscript ? m_transcript.text(m_first + line) : m_lines.at(line - m_fromTranscript);
}

qsizetype RunText::lineAt(qsizetype at) const
{
    // The first line whose end (its line break) is at or after `at`.
    return std::lower_bound(m_ends.cbegin(), m_ends.cend(), at) - m_ends.cbegin();
}

QString RunText::mid(qsizetype from, qsizetype length) const
{
    from = std::clamp<qsizetype>(from, 0, size());
    const qsizetype to = std::min(size(), from + std::max<qsizetype>(0, length));
    QString text;
    text.reserve(to - from);
    for (qsizetype line = lineAt(from); line < lineCount() && from < to; ++line) {
        const qsizetype end = m_ends.at(line);
        if (from < end) {
            const QString whole = lineText(line);
            const qsizetype start = end - whole.size();
            text.append(QStringView(whole).sliced(from - start, std::min(end, to) - from));
        }
        from = std::min(end, to);
        if (from < to) {
            text.append(u'\n');
            ++from;
        }
    }
    return text;
}

qsizetype RunText::count(qsizetype from, qsizetype length, QStringView needle) const
{
    from = std::clamp<qsizetype>(from, 0, size());
    const qsizetype to = std::min(size(), from + std::max<qsizetype>(0, length));
    qsizetype found = 0;
    for (qsizetype line = lineAt(from); line < lineCount(); ++line) {
        const qsizetype end = m_ends.at(line);
        const qsizetype start = line == 0 ? 0 : m_ends.at(line - 1) + 1;
        if (start >= to)
            break;
        const qsizetype first = std::max(start, from);
        const qsizetype last = std::min(end, to);
        if (first < last)
            found += QStringView(lineText(line)).sliced(first - start, last - first).count(needle);
    }
    return found;
}

RunChunker::RunChunker(qsizetype from)
    : m_chunkStart(from)
    , m_lineStart(from)
    , m_proseStart(from)
{
}

bool RunChunker::inlineOpenAcross(const RunText &text, qsizetype lineBreak, qsizetype proseEnd)
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

QList<RunChunk> RunChunker::update(const RunText &text)
{
    const QRegularExpression &openFence = MarkdownSegment::openFencePattern();
    const QRegularExpression &closeFence = MarkdownSegment::closeFencePattern();
    // Lines from the last one seen before (it may have grown) on: only that
    // part of the run is put together.
    const qsizetype base = m_lineStart;
    const QString tail = text.mid(base, text.size() - base);
    auto lines = linesFrom(tail, 0);
    for (auto &[start, end] : lines) {
        start += base;
        end += base;
    }
    const auto lineAt = [&](qsizetype i) {
        return QStringView(tail).sliced(lines[i].first - base, lines[i].second - lines[i].first);
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

QList<RunChunk> cutRunChunks(const QString &text, qsizetype from) { return RunChunker(from).update(RunText(text)); }

} // namespace nerim
