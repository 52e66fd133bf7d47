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
    qsizetype found = 0;
    forEachLine(from, length, [&](QStringView line) { found += line.count(needle); });
    return found;
}

namespace {

bool isPunctuation(QChar c)
{
    const char16_t u = c.unicode();
    const bool ascii = (u >= 0x21 && u <= 0x2F) || (u >= 0x3A && u <= 0x40) || (u >= 0x5B && u <= 0x60)
                       || (u >= 0x7B && u <= 0x7E);
    return ascii || c.isPunct() || c.isSymbol();
}

// A character of the same kind for emphasis (white space, punctuation or
// other) that is no markup itself.
QChar neutral(QChar c) { return c.isSpace() ? QChar(u' ') : isPunctuation(c) ? QChar(u'.') : QChar(u'a'); }

// What is read after the text: it ends a link's tail still being read (in its
// address, after it, or inside a title of any kind) and closes no other
// markup, so whatever is open at its end only later text could close.
constexpr QStringView kReadAfter = u"\nx\"x'x)x\nx";

// Open markup beyond this much is not stood in for: the stretch is not cut.
constexpr qsizetype kMostOpenMarkup = 32;
// How far a stand-in looks for the end of a run of markers.
constexpr qsizetype kLongestMarkerRun = 64;

// Where the marker starts in a stand-in: after the neighbour an emphasis
// marker carries in front of it.
qsizetype markerOffset(const QString &standIn)
{
    const QChar first = standIn.at(0);
    return first == u' ' || first == u'.' || first == u'a' ? 1 : 0;
}

// A short text that opens the markup starting at `start` as it opens there:
// the same brackets, backticks, or run of emphasis markers between neighbours
// of the same kind. Empty when there is none to stand in.
QString standInFor(const RunText &text, qsizetype start)
{
    const QString around = text.mid(std::max<qsizetype>(0, start - 1), kLongestMarkerRun + 2);
    const qsizetype at = start > 0 ? 1 : 0;
    if (at >= around.size())
        return {};
    const QChar marker = around.at(at);
    if (marker == u'[')
        return QStringLiteral("[");
    if (marker == u'!')
        return at + 1 < around.size() && around.at(at + 1) == u'[' ? QStringLiteral("![") : QString();
    qsizetype end = at;
    while (end < around.size() && around.at(end) == marker)
        ++end;
    if (end == around.size() && around.size() == kLongestMarkerRun + 2)
        return {};
    const QString run(end - at, marker);
    if (marker == u'`')
        return run;
    if (marker != u'*' && marker != u'_' && marker != u'~')
        return {};
    // The start of the text, and its end, count as white space.
    const QChar before = at > 0 ? around.at(0) : QChar(u'\n');
    const QChar after = end < around.size() ? around.at(end) : QChar(u'\n');
    return neutral(before) + run + neutral(after);
}

} // namespace

RunChunker::RunChunker(qsizetype from)
{
    m_place.chunkStart = from;
    m_place.lineStart = from;
    m_place.proseStart = from;
    m_settled = m_place;
}

void RunChunker::read(const RunText &text, qsizetype from, qsizetype to, qsizetype undecidedFrom)
{
    m_reading = Reading{};
    m_reading.from = from;
    m_reading.to = to;
    // The markup open at the chunk's start, stood in for in front of it.
    const bool standIns = !m_openMarkup.isEmpty() && from == m_place.chunkStart;
    const QString prose = text.mid(from, to - from);
    // Only backticks, emphasis markers and brackets open markup: prose
    // without any holds nothing open and need not be read.
    if (!standIns) {
        const auto opensMarkup = [](QChar c) {
            return c == u'`' || c == u'*' || c == u'_' || c == u'~' || c == u'[';
        };
        if (std::none_of(prose.cbegin(), prose.cend(), opensMarkup))
            return;
    }
    QString source;
    QList<qsizetype> standInAt;
    if (standIns) {
        for (const QString &markup : std::as_const(m_openMarkup)) {
            if (!source.isEmpty())
                source += u'a';
            standInAt.append(source.size() + markerOffset(markup));
            source += markup;
        }
        source += u'\n';
    }
    const qsizetype offset = source.size();
    source += prose;
    const qsizetype decided = offset + std::max<qsizetype>(0, undecidedFrom - from);
    source += kReadAfter;
    QList<std::pair<qsizetype, qsizetype>> ranges = inlineMarkdownOpenRanges(source);
    std::sort(ranges.begin(), ranges.end());

    // Markup open to the end of a paragraph that has ended (a blank line came)
    // reads as text for good; markup open to the very end may still be closed.
    const auto endedWithItsParagraph = [&](qsizetype end) {
        return end > offset && end <= decided && source.at(end - 1) == u'\n';
    };
    const auto add = [](QList<std::pair<qsizetype, qsizetype>> &stretches, qsizetype start, qsizetype end) {
        if (!stretches.isEmpty() && start < stretches.last().second)
            stretches.last().second = std::max(stretches.last().second, end);
        else
            stretches.append({start, end});
    };
    QList<bool> standInSeen(standInAt.size(), false);
    for (const auto &[first, last] : std::as_const(ranges)) {
        const qsizetype end = std::min(from + last - offset, to + 1);
        if (first < offset) {
            const qsizetype index = standInAt.indexOf(first);
            if (index >= 0 && last == source.size()) {
                standInSeen[index] = true;
                m_reading.openStandIns.append(m_openMarkup.at(index));
            } else if (index >= 0 && endedWithItsParagraph(last)) {
                standInSeen[index] = true;
                add(m_reading.ended, from, end);
            } else {
                m_reading.closesEarlier = true;
            }
            continue;
        }
        const qsizetype start = from + first - offset;
        if (last == source.size())
            m_reading.openStarts.append(start);
        else if (endedWithItsParagraph(last))
            add(m_reading.ended, start, end);
        else
            add(m_reading.held, start, end);
    }
    if (standInSeen.contains(false))
        m_reading.closesEarlier = true;
}

RunChunker::Across RunChunker::across(const RunText &text, qsizetype lineBreak, qsizetype proseEnd,
                                      qsizetype undecidedFrom)
{
    if (m_reading.from < 0 || lineBreak >= m_reading.to)
        read(text, std::max(m_place.proseStart, m_place.chunkStart), proseEnd, undecidedFrom);
    // Whether one of the stretches (in order, not overlapping) reaches across the line break.
    const auto reachesAcross = [lineBreak](const QList<std::pair<qsizetype, qsizetype>> &stretches) {
        const auto it = std::lower_bound(stretches.cbegin(), stretches.cend(), lineBreak,
                                         [](const std::pair<qsizetype, qsizetype> &range, qsizetype at) {
                                             return range.first < at;
                                         });
        return it != stretches.cbegin() && std::prev(it)->second > lineBreak;
    };
    if (reachesAcross(m_reading.held))
        return Across::heldMarkup;
    if (!m_reading.openStandIns.isEmpty()
        || (!m_reading.openStarts.isEmpty() && m_reading.openStarts.first() < lineBreak))
        return Across::openMarkup;
    if (reachesAcross(m_reading.ended))
        return Across::endedMarkup;
    return Across::nothing;
}

bool RunChunker::openMarkupAt(const RunText &text, qsizetype lineBreak, QStringList &markup) const
{
    markup = m_reading.openStandIns;
    for (const qsizetype start : m_reading.openStarts) {
        if (start >= lineBreak)
            break;
        const QString standIn = standInFor(text, start);
        if (standIn.isEmpty())
            return false;
        markup.append(standIn);
    }
    return markup.size() <= kMostOpenMarkup;
}

bool RunChunker::cutLines(const RunText &text, QList<RunChunk> &chunks)
{
    const QRegularExpression &openFence = MarkdownSegment::openFencePattern();
    const QRegularExpression &closeFence = MarkdownSegment::closeFencePattern();
    // Lines from the last one seen before (it may have grown) on: only that
    // part of the run is put together.
    const qsizetype base = m_place.lineStart;
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
    // The last line may still grow: a paragraph it ends is not over yet.
    const qsizetype undecidedFrom = lines.last().first;
    m_reading = Reading{};
    if (!m_openMarkup.isEmpty()) {
        // The open chunk began behind open markup: whatever was added must
        // not close it, or the cuts behind it do not stand.
        qsizetype i = 0;
        while (i < lines.size() && !opensBlock[i])
            ++i;
        const qsizetype end = i == 0 ? base - 1 : i < lines.size() ? lines[i - 1].second : text.size();
        read(text, m_place.chunkStart, std::max(end, m_place.chunkStart), undecidedFrom);
        if (m_reading.closesEarlier)
            return false;
    }

    // The last line is not decided on: it is read again with the next text.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QStringView line = lineAt(i);
        const bool opens = !m_place.inCode && opensBlock[i];
        bool closes = false;
        if (opens) {
            m_place.inCode = true;
            // Inline markup never reaches into a code block.
            m_openMarkup.clear();
        } else if (m_place.inCode && closeFence.match(line).hasMatch()) {
            m_place.inCode = false;
            closes = true;
        }
        const bool prose = !opens && !closes && !m_place.inCode;
        if (prose && !m_place.lastWasProse)
            m_place.proseStart = lines[i].first;
        m_place.lastWasProse = prose;
        m_place.lineStart = lines[i + 1].first;
        ++m_place.count;
        if (m_place.inCode || m_place.count < RunChunks::chunkLines)
            continue;
        const bool nextOpens = opensBlock[i + 1];
        const QStringView next = lineAt(i + 1);
        int gap = -1;
        bool stands = true;
        if (closes || (prose && nextOpens)) {
            gap = RunChunks::segmentGap;
        } else if (prose && ((!isBlank(line) && !isBlank(next)) || m_place.count >= RunChunks::maximumChunkLines)) {
            switch (across(text, lines[i].second, proseEnd(i), undecidedFrom)) {
            case Across::nothing: gap = 0; break;
            case Across::endedMarkup:
                // Reads as text for good, but was open when the line after it
                // came: cut where a run arriving line by line was cut.
                if (m_place.count >= RunChunks::maximumChunkLines)
                    gap = 0;
                break;
            case Across::openMarkup:
                // Behind markup nothing has closed yet, only long chunks are cut.
                if (m_place.count >= RunChunks::maximumChunkLines) {
                    gap = 0;
                    stands = false;
                }
                break;
            case Across::heldMarkup: break;
            }
            if (m_reading.closesEarlier)
                return false;
        }
        if (gap < 0)
            continue;
        QStringList markup;
        if (!stands && !openMarkupAt(text, lines[i].second, markup))
            continue;
        chunks.append({m_place.chunkStart, lines[i].second, gap});
        m_place.chunkStart = lines[i + 1].first;
        m_place.count = 0;
        m_openMarkup = markup;
        if (stands)
            m_settled = m_place;
    }
    return true;
}

QList<RunChunk> RunChunker::update(const RunText &text)
{
    QList<RunChunk> chunks;
    for (int pass = 0; !cutLines(text, chunks) && pass < 2; ++pass) {
        // The text closed markup that cuts behind it took for open: go back
        // to the last cut that stands and read the whole stretch from there.
        m_place = m_settled;
        m_openMarkup.clear();
        m_reading = Reading{};
        while (!chunks.isEmpty() && chunks.last().start >= m_place.chunkStart)
            chunks.removeLast();
    }
    chunks.append({m_place.chunkStart, text.size(), 0});
    return chunks;
}

QList<RunChunk> cutRunChunks(const QString &text, qsizetype from) { return RunChunker(from).update(RunText(text)); }

} // namespace nerim
