// Where RunChunker cuts a run: line by line, outside code blocks, between
// lines of prose that markup does not hold together; cuts behind markup
// still open are taken back when later text closes it, and a long stretch
// that cannot be cut grows unread while its credit lasts. Reading the prose
// is in RunChunksReading.cpp, the markup kept open in front of the open
// chunk in RunChunksOpenMarkup.cpp.
#include "ui/panes/RunChunks.h"

#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/MarkdownSegment.h"
#include "ui/panes/RunChunksParts.h"

#include <QRegularExpression>
#include <algorithm>

namespace nerim {

using chunking::holdsInside;

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

// Whether a line ends the paragraph before it, as inline Markdown reads it.
bool isParagraphBreak(QStringView line)
{
    return std::all_of(line.cbegin(), line.cend(), [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r'; });
}

// Whether a line opens a code block: only a line with three backticks may,
// so most are told without the pattern.
bool opensCodeBlock(QStringView line)
{
    return line.contains(u"```") && MarkdownSegment::openFencePattern().match(line).hasMatch();
}

} // namespace

RunChunker::RunChunker(qsizetype from)
{
    m_place.chunkStart = from;
    m_place.lineStart = from;
    m_place.proseStart = from;
    m_barrier = from;
    m_lineStarts.append(from);
    m_updatedTo = from - 1;
}

qsizetype RunChunker::readStart() const
{
    return std::max({m_place.proseStart, m_place.chunkStart, m_barrier});
}

bool RunChunker::cutLines(const RunText &text, QList<RunChunk> &chunks)
{
    const QRegularExpression &closeFence = MarkdownSegment::closeFencePattern();
    // Lines of the open chunk were decided (not cut where markup closed
    // later held across) with a backtick string or a "[" still open in front
    // of them: text added that closes it makes what came between read
    // otherwise (as code, or as a link's text), so those lines are decided
    // again from the chunk's start, as the whole text has them.
    // (Cuts taken back from where the text added reaches are decided again
    // from there: see resumeAt.)
    const bool resumed = std::exchange(m_resumed, false);
    if (!resumed && m_textEnd >= 0 && text.size() > m_textEnd + 1 && m_place.lineStart > m_place.chunkStart
        && !m_place.inCode && m_stretchOpen.holdsCodeOrBracketFrom(m_place.chunkStart)) {
        const QString added = text.mid(m_textEnd + 1, text.size() - m_textEnd - 1);
        if (added.contains(u'`') || added.contains(u']')) {
            m_charactersRead += added.size();
            const qsizetype from = m_stretchOpen.reinterpretedFrom(readInlineMarkdown(added), m_place.chunkStart);
            if (from >= 0) {
                const qsizetype start = m_place.chunkStart;
                m_place = Place{start, 0, false, start, start, false};
                m_barrier = std::min(m_barrier, start);
                m_readChunkWhole = !m_before.isEmpty();
                m_reading = Reading{};
            }
        }
    }
    // Lines from the last one seen before (it may have grown) on: only that
    // part of the run is put together.
    const qsizetype base = m_place.lineStart;
    const QString tail = text.mid(base, text.size() - base);
    m_charactersScanned += tail.size();
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
        opensBlock[i] = opensCodeBlock(lineAt(i));
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
    m_reading = Reading{};
    // The last line seen before was blank, as it now shows with a line after
    // it: it ended the paragraph, and nothing in front can be closed after it.
    // (Blank lines among those added are seen when they are read.)
    if (lines.size() > 1 && !opensBlock[0]
        && isParagraphBreak(lineAt(0))) {
        paragraphEnded(base);
    }
    if (!m_before.isEmpty()) {
        // The open chunk began behind open markup: whatever was added must
        // not close it, or the cuts behind it do not stand.
        qsizetype i = 0;
        while (i < lines.size() && !opensBlock[i])
            ++i;
        const qsizetype end = i == 0 ? base - 1 : i < lines.size() ? lines[i - 1].second : text.size();
        if (m_readChunkWhole) {
            // Cuts were taken back: the open chunk grew at its front.
            if (!read(text, m_place.chunkStart, std::max(end, m_place.chunkStart)))
                return false;
        } else if (end > m_textEnd) {
            // Only what was added can close it: read alone, what it pairs
            // within itself it pairs so in the whole text too, and the open
            // chunk's own markup was read with the cuts behind it.
            const QString added = text.mid(m_textEnd + 1, end - m_textEnd - 1);
            m_charactersRead += added.size();
            InlineMarkdownReading reading = readInlineMarkdown(added);
            if (!pairsInChunk(reading, m_textEnd + 1)) {
                // Not sure: read the open chunk whole.
                if (!read(text, m_place.chunkStart, std::max(end, m_place.chunkStart)))
                    return false;
            } else {
                reading.closers.clear();
                m_reachedBack = m_before.reachedBy(reading);
                if (m_reachedBack >= 0)
                    return false;
                // After a blank line, nothing in front can be closed any more.
                if (reading.firstParagraphEnd >= 0)
                    paragraphEnded(m_textEnd + 1 + reading.firstParagraphEnd);
            }
        }
    }
    m_readChunkWhole = false;
    m_textEnd = text.size();

    // The last line is not decided on: it is read again with the next text.
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QStringView line = lineAt(i);
        const bool opens = !m_place.inCode && opensBlock[i];
        bool closes = false;
        if (opens) {
            m_place.inCode = true;
            // Inline markup never reaches into a code block.
            forgetBefore();
        } else if (m_place.inCode && closeFence.match(line).hasMatch()) {
            m_place.inCode = false;
            closes = true;
        }
        const bool prose = !opens && !closes && !m_place.inCode;
        if (prose && !m_place.lastWasProse)
            m_place.proseStart = lines[i].first;
        m_place.lastWasProse = prose;
        // A blank line ends the paragraph: what is open in front of it
        // stays text (as a run growing line by line lets it go there too).
        if (prose && isParagraphBreak(line))
            paragraphEnded(lines[i].first);
        m_place.lineStart = lines[i + 1].first;
        if (m_place.lineStart > m_lineStarts.last())
            m_lineStarts.append(m_place.lineStart);
        ++m_place.count;
        if (m_place.inCode || m_place.count < RunChunks::chunkLines)
            continue;
        const bool nextOpens = opensBlock[i + 1];
        const QStringView next = lineAt(i + 1);
        int gap = -1;
        bool behindOpenMarkup = false;
        if (closes || (prose && nextOpens)) {
            gap = RunChunks::segmentGap;
        } else if (prose && ((!isBlank(line) && !isBlank(next)) || m_place.count >= RunChunks::maximumChunkLines)
                   && (m_place.count >= RunChunks::maximumChunkLines
                       || (m_before.isEmpty() && lines[i].second >= m_frontOpenUntil))) {
            // (Behind markup open in front of the chunk, only a long chunk is
            // cut: a shorter one need not be read.)
            switch (across(text, lines[i].second, proseEnd(i))) {
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
                    behindOpenMarkup = true;
                }
                break;
            case Across::heldMarkup: break;
            case Across::reachesBack: return false;
            }
        }
        if (gap < 0)
            continue;
        chunks.append({m_place.chunkStart, lines[i].second, gap});
        if (behindOpenMarkup) {
            // Later text may close what is open here: keep it, and the chunk,
            // to take the cut back then.
            m_heldChunks.append({m_place.chunkStart, m_place.count});
            m_before.add(m_reading.items, m_reading.from, m_reading.keptUpTo, lines[i].second);
            m_reading.keptUpTo = lines[i].second;
        } else {
            forgetBefore();
        }
        m_place.chunkStart = lines[i + 1].first;
        m_place.count = 0;
    }
    // What the open chunk holds open, from a reading that reached its end.
    if (m_before.isEmpty())
        m_inChunk = InChunk{};
    else if (m_reading.from >= 0 && m_reading.from <= m_place.chunkStart && m_reading.to >= text.size())
        takeInChunk(m_reading.items, m_reading.from);
    return true;
}

int RunChunker::takeBack(qsizetype place, QList<RunChunk> &chunks)
{
    // The chunk that holds `place`, and those after it, become one open chunk.
    qsizetype held = m_heldChunks.size() - 1;
    while (held > 0 && m_heldChunks[held].start > place)
        --held;
    const qsizetype start = held >= 0 ? m_heldChunks[held].start : m_place.chunkStart;
    int lines = 0;
    for (qsizetype i = std::max<qsizetype>(0, held); i < m_heldChunks.size(); ++i)
        lines += m_heldChunks[i].lines;
    m_heldChunks.resize(std::max<qsizetype>(0, held));
    m_before.dropFrom(start);
    while (!chunks.isEmpty() && chunks.last().start >= start)
        chunks.removeLast();
    m_place = Place{start, 0, false, start, start, false};
    // The lines from `start` on are decided again: they are read from there.
    m_barrier = std::min(m_barrier, start);
    m_readChunkWhole = true;
    m_reading = Reading{};
    return lines;
}

bool RunChunker::resumeAt(const RunText &text, qsizetype place, QList<RunChunk> &chunks)
{
    // Only where nothing before `place` can read otherwise: no markup held
    // across it (code or a link that the text added makes of it would free
    // what it held). The stretch kept tells, read on up to the text added
    // (what came after it may have closed markup in it).
    KnownReading &known = m_known;
    if (place < 0 || known.from < 0 || place < known.from || known.to > m_textEnd)
        return false;
    Fresh fresh;
    if (known.to < m_textEnd && !readOn(text, known.from, m_textEnd, known, fresh))
        return false;
    if (place >= known.to || holdsInside(known.held, place) || holdsInside(known.ended, place))
        return false;
    takeBack(place, chunks);
    const qsizetype start = m_place.chunkStart;
    if (start < known.from)
        return true;
    // The lines of the chunk before the one that holds `place` read as they
    // did, so they are decided as they were: the chunk is decided again
    // from that line on.
    const auto line = std::upper_bound(m_lineStarts.cbegin(), m_lineStarts.cend(), place) - 1;
    const auto first = std::lower_bound(m_lineStarts.cbegin(), m_lineStarts.cend(), start);
    if (first == m_lineStarts.cend() || *first != start || line <= first)
        return true;
    m_place.count = int(line - first);
    m_place.lineStart = *line;
    m_place.proseStart = start;
    m_place.lastWasProse = true;
    m_resumed = true;
    return true;
}

bool RunChunker::skipReading(const RunText &text, QList<RunChunk> &chunks)
{
    // Only a long stretch of prose read whole before, and not yet grown by a
    // half since, is let grow unread.
    if (m_readFrom < 0 || m_place.inCode || m_readFrom != readStart() || m_lookedAt < m_readTo
        || text.size() <= m_lookedAt)
        return false;
    const qsizetype length = m_readTo - m_readFrom;
    if (m_readLines <= RunChunks::longStretchLines && length <= RunChunks::longStretchCharacters)
        return false;
    if ((text.size() - m_readTo) * 2 >= length)
        return false;
    const qsizetype addedAt = m_lookedAt + 1;
    const QString added = text.mid(addedAt, text.size() - addedAt);
    // A code block ends the prose: a cut is due there.
    for (const auto &[start, end] : linesFrom(added, 0)) {
        if (opensCodeBlock(QStringView(added).sliced(start, end - start)))
            return false;
    }
    // While the credit lasts, the stretch is read on (only what was added,
    // and what it may make read otherwise, is read: see readOn), so its line
    // breaks are cut as the whole text cuts them; what that takes is paid
    // from the credit. Past it, the lines are let grow unread until the
    // stretch has grown by half, so a hostile run still costs a bounded
    // multiple of its length.
    if (m_readCredit > 0) {
        m_chargeReading = true;
        return false;
    }
    m_charactersRead += added.size();
    const InlineMarkdownReading reading = readInlineMarkdown(added);
    m_lookedAt = text.size();
    m_textEnd = text.size();
    // What the open chunk holds is read again with the stretch.
    m_inChunk.known = false;
    m_readLines += added.count(u'\n') + 1;
    // What the lines added hold open, later lines may close.
    m_stretchOpen.add(reading, addedAt, addedAt, text.size() + 1);
    if (m_before.isEmpty())
        return true;
    // The lines added, read alone, may close markup in front of the open
    // chunk: then the cuts behind it go (read alone, they may reach back
    // further than they would: more is taken back, never less).
    const qsizetype reached = m_before.reachedBy(reading);
    if (reached >= 0) {
        // The stretch now reaches back over the chunks taken back.
        m_readLines += takeBack(m_before.earliest(), chunks);
        m_readFrom = m_place.chunkStart;
    }
    return true;
}

bool RunChunker::growUncut(const RunText &text)
{
    if (m_uncutUntil < 0)
        return false;
    // A code block ends the prose: a cut is due there.
    const qsizetype addedAt = m_uncutTo + 1;
    const QString added = text.mid(addedAt, text.size() - addedAt);
    m_charactersScanned += added.size();
    bool opens = false;
    for (const auto &[start, end] : linesFrom(added, 0))
        opens = opens || opensCodeBlock(QStringView(added).sliced(start, end - start));
    if (opens || text.size() >= m_uncutUntil) {
        m_uncutUntil = -1;
        return false;
    }
    m_uncutTo = text.size();
    return true;
}

QList<RunChunk> RunChunker::update(const RunText &text)
{
    // Each line break added ends a step: the text up to it is taken as if it
    // had come alone. Each step returns the chunks from the first one it
    // changed on, as the caller keeps them.
    QList<RunChunk> changed;
    const auto step = [&](const RunText &upTo) {
        const QList<RunChunk> chunks = updateTo(upTo);
        while (!changed.isEmpty() && changed.last().start >= chunks.first().start)
            changed.removeLast();
        changed.append(chunks);
    };
    qsizetype at = m_updatedTo + 1;
    text.forEachLine(at, text.size() - at, [&](QStringView line) {
        // Line breaks inside a line given as one, then the one after it.
        for (qsizetype i = line.indexOf(u'\n'); i >= 0; i = line.indexOf(u'\n', i + 1))
            step(text.prefix(at + i));
        at += line.size();
        if (at < text.size())
            step(text.prefix(at));
        ++at;
    });
    step(text);
    m_updatedTo = text.size();
    return changed;
}

QList<RunChunk> RunChunker::updateTo(const RunText &text)
{
    QList<RunChunk> chunks;
    if (text.size() > m_creditedTo) {
        m_readCredit += (text.size() - m_creditedTo) * RunChunks::stretchReadCredit;
        m_creditedTo = text.size();
    }
    const qsizetype readBefore = m_charactersRead + m_charactersScanned;
    m_chargeReading = false;
    if (!growUncut(text) && !skipReading(text, chunks)) {
        while (!cutLines(text, chunks)) {
            // What reading again takes is paid from the credit; with none
            // left, the open chunk grows uncut for a while instead.
            m_chargeReading = true;
            if (m_readCredit - (m_charactersRead + m_charactersScanned - readBefore) < 0) {
                takeBack(m_before.earliest(), chunks);
                m_uncutUntil = text.size() + (text.size() - m_place.chunkStart) / 2;
                m_uncutTo = text.size();
                break;
            }
            // The text closed markup that cuts behind it took for open: take
            // them back from where it reaches, when what was read tells that
            // nothing before reads otherwise; else all of them, to where
            // nothing was open in front, and read from there (what it closed
            // may have changed how all that reads).
            if (!resumeAt(text, m_reachedBack, chunks))
                takeBack(m_before.earliest(), chunks);
        }
    }
    // What reading a long stretch took is paid from the credit.
    if (m_chargeReading)
        m_readCredit -= m_charactersRead + m_charactersScanned - readBefore;
    chunks.append({m_place.chunkStart, text.size(), 0});
    return chunks;
}

QList<RunChunk> cutRunChunks(const QString &text, qsizetype from) { return RunChunker(from).update(RunText(text)); }

void RunChunker::paragraphEnded(qsizetype at)
{
    if (!m_before.isEmpty())
        m_frontOpenUntil = std::max(m_frontOpenUntil, at);
    forgetBefore();
}

void RunChunker::forgetBefore()
{
    m_before.clear();
    m_heldChunks.clear();
}

} // namespace nerim
