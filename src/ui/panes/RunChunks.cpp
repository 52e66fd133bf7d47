#include "ui/panes/RunChunks.h"

#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/MarkdownSegment.h"

#include <QRegularExpression>
#include <algorithm>

namespace nerim {

using namespace Qt::StringLiterals;

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

int markerIndex(char16_t marker) { return marker == u'*' ? 0 : marker == u'_' ? 1 : 2; }


// Whether a closer may pair with an opener whose run of markers is `count`
// long (modulo 3 is all that counts): the rule of three, as pairing applies it.
bool mayPair(int count, bool openerCanClose, const InlineMarkdownReading::Closer &closer)
{
    if (closer.marker == u'~')
        return true;
    return !((openerCanClose || closer.canOpen) && (count + closer.count) % 3 == 0
             && !(count % 3 == 0 && closer.count % 3 == 0));
}

// The `k`th place from the end of `places` (in order), or the first.
qsizetype kthFromEnd(const QList<qsizetype> &places, qsizetype k)
{
    return places.size() >= k ? places.at(places.size() - std::max<qsizetype>(1, k)) : places.first();
}

} // namespace

int RunChunker::OpenBefore::group(char16_t marker, bool canClose, int count)
{
    return markerIndex(marker) * 6 + (canClose ? 3 : 0) + count % 3;
}

bool RunChunker::OpenBefore::isEmpty() const
{
    return std::all_of(m_openers.cbegin(), m_openers.cend(), [](const auto &list) { return list.isEmpty(); })
           && m_brackets.isEmpty() && m_codeRuns.isEmpty() && m_pendingTail < 0;
}

void RunChunker::OpenBefore::clear()
{
    for (QList<qsizetype> &list : m_openers)
        list.clear();
    m_brackets.clear();
    m_codeRuns.clear();
    m_pendingTail = -1;
}

void RunChunker::OpenBefore::dropFrom(qsizetype from)
{
    const auto drop = [from](QList<qsizetype> &places) {
        while (!places.isEmpty() && places.last() >= from)
            places.removeLast();
    };
    for (QList<qsizetype> &list : m_openers)
        drop(list);
    drop(m_brackets);
    m_codeRuns.removeIf([from](const std::pair<qsizetype, int> &run) { return run.first >= from; });
    if (m_pendingTail >= from)
        m_pendingTail = -1;
}

void RunChunker::OpenBefore::add(const InlineMarkdownReading &reading, qsizetype offset, qsizetype from, qsizetype to)
{
    const auto in = [&](qsizetype position) { return offset + position >= from && offset + position < to; };
    // Each list is in text order: start where `from` is.
    auto opener = std::lower_bound(reading.openers.cbegin(), reading.openers.cend(), from - offset,
                                   [](const auto &item, qsizetype at) { return item.position < at; });
    for (; opener != reading.openers.cend() && in(opener->position); ++opener)
        m_openers[size_t(OpenBefore::group(opener->marker, opener->canClose, opener->count))].append(offset + opener->position);
    auto bracket = std::lower_bound(reading.brackets.cbegin(), reading.brackets.cend(), from - offset);
    for (; bracket != reading.brackets.cend() && in(*bracket); ++bracket)
        m_brackets.append(offset + *bracket);
    for (const auto &[position, length] : reading.codeRuns) {
        if (in(position))
            m_codeRuns.append({offset + position, length});
    }
    if (reading.pendingTail >= 0 && in(reading.pendingTail) && m_pendingTail < 0)
        m_pendingTail = offset + reading.pendingTail;
}

qsizetype RunChunker::OpenBefore::reachedBy(const InlineMarkdownReading &reading) const
{
    qsizetype reached = -1;
    const auto reach = [&](qsizetype place) {
        if (reached < 0 || place < reached)
            reached = place;
    };
    // A closer pairs with the nearest opener it may pair with, and each
    // opener takes at least one of its markers: all the closers together
    // reach back at most as many openers as they have markers left.
    qsizetype left = 0;
    for (const InlineMarkdownReading::Closer &closer : reading.closers)
        left += closer.left;
    for (const InlineMarkdownReading::Closer &closer : reading.closers) {
        for (const bool canClose : {false, true}) {
            for (int count = 0; count < 3; ++count) {
                const QList<qsizetype> &openers = m_openers[size_t(OpenBefore::group(closer.marker, canClose, count))];
                if (!openers.isEmpty() && mayPair(count, canClose, closer))
                    reach(kthFromEnd(openers, left));
            }
        }
    }
    // Each "]" pairs with the nearest "[" still open.
    if (reading.unopenedBrackets > 0 && !m_brackets.isEmpty())
        reach(kthFromEnd(m_brackets, reading.unopenedBrackets));
    // A backtick string closes code opened by the first string of its length.
    for (const auto &[position, length] : m_codeRuns) {
        if (reading.backtickLengths.contains(length))
            reach(position);
    }
    // A link's tail may go on in any text.
    if (m_pendingTail >= 0)
        reach(m_pendingTail);
    return reached;
}

qsizetype RunChunker::OpenBefore::earliest() const
{
    qsizetype first = m_pendingTail;
    const auto take = [&](qsizetype place) {
        if (first < 0 || place < first)
            first = place;
    };
    for (const QList<qsizetype> &list : m_openers) {
        if (!list.isEmpty())
            take(list.first());
    }
    if (!m_brackets.isEmpty())
        take(m_brackets.first());
    for (const auto &run : m_codeRuns)
        take(run.first);
    return first;
}

bool RunChunker::OpenBefore::holdsCodeOrBracketFrom(qsizetype from) const
{
    return (!m_brackets.isEmpty() && m_brackets.last() >= from)
           || std::any_of(m_codeRuns.cbegin(), m_codeRuns.cend(), [from](const auto &run) { return run.first >= from; });
}

qsizetype RunChunker::OpenBefore::reinterpretedFrom(const InlineMarkdownReading &reading, qsizetype from) const
{
    qsizetype first = -1;
    const auto take = [&](qsizetype place) {
        if (place >= from && (first < 0 || place < first))
            first = place;
    };
    for (const auto &[position, length] : m_codeRuns) {
        if (reading.backtickLengths.contains(length))
            take(position);
    }
    if (reading.unopenedBrackets > 0) {
        const auto bracket = std::lower_bound(m_brackets.cbegin(), m_brackets.cend(), from);
        if (bracket != m_brackets.cend())
            take(*bracket);
    }
    return first;
}

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

namespace {

using Stretches = QList<std::pair<qsizetype, qsizetype>>;

// Adds [start, end) to stretches in order, merging it with the last one it overlaps.
void addStretch(Stretches &stretches, qsizetype start, qsizetype end)
{
    if (!stretches.isEmpty() && start < stretches.last().second)
        stretches.last().second = std::max(stretches.last().second, end);
    else
        stretches.append({start, end});
}

// Whether one of the stretches (in order, not overlapping) holds `at` inside it.
bool holdsInside(const Stretches &stretches, qsizetype at)
{
    const auto it = std::lower_bound(stretches.cbegin(), stretches.cend(), at,
                                     [](const std::pair<qsizetype, qsizetype> &range, qsizetype place) {
                                         return range.first < place;
                                     });
    return it != stretches.cbegin() && std::prev(it)->second > at;
}

// Takes the ranges of `items` (read from `offset`) into the stretches they hold.
void addRanges(const InlineMarkdownReading &items, qsizetype offset, Stretches &held, Stretches &ended,
               QList<qsizetype> &openStarts)
{
    for (const InlineMarkdownReading::Range &range : items.ranges) {
        switch (range.hold) {
        case InlineMarkdownReading::Hold::closed: addStretch(held, offset + range.first, offset + range.last); break;
        case InlineMarkdownReading::Hold::ended: addStretch(ended, offset + range.first, offset + range.last); break;
        case InlineMarkdownReading::Hold::open: openStarts.append(offset + range.first); break;
        }
    }
}

} // namespace

bool RunChunker::readOn(const RunText &text, qsizetype from, qsizetype to, KnownReading &known, Fresh &fresh)
{
    if (known.from < 0 || known.from != from || known.to > to)
        return false;
    fresh.at = known.to;
    if (known.to < to) {
        // Text is only ever appended: what follows the stretch read starts a line.
        if (text.mid(known.to, 1) != u"\n"_s)
            return false;
        fresh.at = known.to + 1;
        fresh.text = text.mid(fresh.at, to - fresh.at);
        m_charactersRead += fresh.text.size();
        fresh.items = readInlineMarkdown(fresh.text);
        // A blank line ends the paragraph: what is open before it ends there.
        if (fresh.items.firstParagraphEnd >= 0)
            return false;
        const qsizetype reached = known.open.reachedBy(fresh.items);
        if (reached >= 0) {
            // The text added may close markup open from `reached` on (that
            // makes it read otherwise from there): read from there. Markup
            // held from before it across it would be read otherwise too, and
            // a marker run's reading depends on the character before it.
            const QChar marker = text.mid(reached, 1).front();
            const bool flanked = marker == u'*' || marker == u'_' || marker == u'~';
            if (reached < from || (flanked && reached > from && !text.mid(reached - 1, 1).front().isSpace())
                || holdsInside(known.held, reached) || holdsInside(known.ended, reached))
                return false;
            fresh.at = reached;
            fresh.text = text.mid(fresh.at, to - fresh.at);
            m_charactersRead += fresh.text.size();
            fresh.items = readInlineMarkdown(fresh.text);
            known.open.dropFrom(reached);
            // Read from there, the text must not reach further back.
            if (fresh.items.firstParagraphEnd >= 0 || known.open.reachedBy(fresh.items) >= 0) {
                known.from = -1;
                return false;
            }
            known.lineBreaks -= QStringView(fresh.text).first(known.to - reached).count(u'\n');
        } else {
            ++known.lineBreaks;
        }
        known.lineBreaks += fresh.text.count(u'\n');
    }
    // What was read from `fresh.at` on is replaced by the fresh reading.
    const qsizetype cut = fresh.at - from;
    InlineMarkdownReading &items = known.items;
    while (!items.openers.isEmpty() && items.openers.last().position >= cut)
        items.openers.removeLast();
    while (!items.brackets.isEmpty() && items.brackets.last() >= cut)
        items.brackets.removeLast();
    items.codeRuns.removeIf([cut](const std::pair<qsizetype, int> &run) { return run.first >= cut; });
    if (items.pendingTail >= cut)
        items.pendingTail = -1;
    const auto dropFrom = [&](Stretches &stretches) {
        while (!stretches.isEmpty() && stretches.last().first >= fresh.at)
            stretches.removeLast();
    };
    dropFrom(known.held);
    dropFrom(known.ended);
    while (!known.openStarts.isEmpty() && known.openStarts.last() >= fresh.at)
        known.openStarts.removeLast();
    // How far what is kept holds: nothing kept reaches past `fresh.at`.
    fresh.reach = !known.openStarts.isEmpty() ? to + 1
                                              : std::max({from, known.held.isEmpty() ? from : known.held.last().second,
                                                          known.ended.isEmpty() ? from : known.ended.last().second});
    if (fresh.at >= to)
        return true;
    for (InlineMarkdownReading::Opener opener : std::as_const(fresh.items.openers)) {
        opener.position += cut;
        items.openers.append(opener);
    }
    for (const qsizetype bracket : std::as_const(fresh.items.brackets))
        items.brackets.append(bracket + cut);
    for (const auto &[position, length] : std::as_const(fresh.items.codeRuns))
        items.codeRuns.append({position + cut, length});
    if (fresh.items.pendingTail >= 0 && items.pendingTail < 0)
        items.pendingTail = fresh.items.pendingTail + cut;
    addRanges(fresh.items, fresh.at, known.held, known.ended, known.openStarts);
    known.open.add(fresh.items, fresh.at, fresh.at, to + 1);
    known.to = to;
    return true;
}

bool RunChunker::read(const RunText &text, qsizetype from, qsizetype to)
{
    m_reading = Reading{};
    m_reading.from = from;
    m_reading.to = to;
    m_reading.keptUpTo = from;
    m_readFrom = from;
    m_readTo = to;
    m_lookedAt = to;
    m_reading.beforeOpen = !m_before.isEmpty() && from == m_place.chunkStart;

    // A stretch read before from the same place is read on (behind markup
    // open in front of the chunk, only while that markup is the same); else
    // it is read whole, and kept.
    Fresh fresh;
    KnownReading &known = m_reading.beforeOpen ? m_knownChunk : m_known;
    const bool readingOn = (!m_reading.beforeOpen || known.before == m_before) && readOn(text, from, to, known, fresh);
    if (!readingOn) {
        fresh = Fresh{text.mid(from, to - from), {}, from, from};
        m_charactersRead += fresh.text.size();
        fresh.items = readInlineMarkdown(fresh.text);
        known = KnownReading{};
        known.from = from;
        known.to = to;
        known.lineBreaks = fresh.text.count(u'\n');
        known.items = fresh.items;
        known.open.add(fresh.items, from, from, to + 1);
        addRanges(fresh.items, from, known.held, known.ended, known.openStarts);
    }
    const InlineMarkdownReading &items = known.items;
    m_readLines = known.lineBreaks + 1;
    m_stretchOpen = known.open;
    m_reading.beforeEnds = items.firstParagraphEnd >= 0 ? from + items.firstParagraphEnd : -1;
    if (m_reading.beforeOpen) {
        // Markup in front of the chunk that this text closes: the cuts
        // behind it do not stand. (Text read on before was found to close
        // none of it: only what was read afresh may, while the first
        // paragraph reaches it.)
        m_reachedBack = !readingOn ? m_before.reachedBy(items)
                        : items.firstParagraphEnd < 0 && fresh.at < to ? m_before.reachedBy(fresh.items)
                                                                        : -1;
        if (m_reachedBack >= 0) {
            known.from = -1;
            return false;
        }
        known.before = m_before;
    }
    m_reading.held = known.held;
    m_reading.ended = known.ended;
    m_reading.openStarts = known.openStarts;

    // The last line start behind which nothing is held or open: nothing
    // before it can pair with anything after it, whatever follows. (What was
    // kept was looked at when it was read.)
    qsizetype reach = fresh.reach;
    const QList<InlineMarkdownReading::Range> &ranges = fresh.items.ranges;
    qsizetype range = 0;
    const auto reachOf = [&](const InlineMarkdownReading::Range &held) {
        return held.hold == InlineMarkdownReading::Hold::open ? to + 1 : fresh.at + held.last;
    };
    for (qsizetype i = 0; i < fresh.text.size(); ++i) {
        if (fresh.text[i] != u'\n' || (i > 0 && fresh.text[i - 1] == u'\r'))
            continue;
        const qsizetype lineStart = fresh.at + i + 1;
        for (; range < ranges.size() && fresh.at + ranges[range].first < lineStart; ++range)
            reach = std::max(reach, reachOf(ranges[range]));
        const bool beforeOpen =
            m_reading.beforeOpen && (items.firstParagraphEnd < 0 || lineStart - from < items.firstParagraphEnd);
        if (reach <= lineStart && !beforeOpen)
            m_barrier = std::max(m_barrier, lineStart);
    }
    // With nothing open at the end, the next line starts afresh.
    for (; range < ranges.size(); ++range)
        reach = std::max(reach, reachOf(ranges[range]));
    if (reach <= to && !(m_reading.beforeOpen && items.firstParagraphEnd < 0))
        m_barrier = std::max(m_barrier, to + 1);
    m_reading.items = items;
    return true;
}

RunChunker::Across RunChunker::across(const RunText &text, qsizetype lineBreak, qsizetype proseEnd)
{
    if (m_reading.from < 0 || lineBreak >= m_reading.to) {
        if (!read(text, readStart(), proseEnd))
            return Across::reachesBack;
    }
    if (holdsInside(m_reading.held, lineBreak))
        return Across::heldMarkup;
    if ((!m_reading.openStarts.isEmpty() && m_reading.openStarts.first() < lineBreak)
        || (m_reading.beforeOpen && (m_reading.beforeEnds < 0 || lineBreak < m_reading.beforeEnds)))
        return Across::openMarkup;
    if (holdsInside(m_reading.ended, lineBreak))
        return Across::endedMarkup;
    return Across::nothing;
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

void RunChunker::takeInChunk(const InlineMarkdownReading &reading, qsizetype offset)
{
    m_inChunk = InChunk{};
    m_inChunk.known = true;
    for (const InlineMarkdownReading::Opener &opener : reading.openers) {
        if (offset + opener.position >= m_place.chunkStart)
            m_inChunk.openers.append(
                {offset + opener.position, OpenBefore::group(opener.marker, opener.canClose, opener.count)});
    }
    m_inChunk.brackets = std::any_of(reading.brackets.cbegin(), reading.brackets.cend(),
                                     [&](qsizetype at) { return offset + at >= m_place.chunkStart; });
    for (const auto &[position, length] : reading.codeRuns) {
        if (offset + position >= m_place.chunkStart)
            m_inChunk.codeLengths.append(length);
    }
    m_inChunk.pendingTail = reading.pendingTail >= 0 && offset + reading.pendingTail >= m_place.chunkStart;
}

bool RunChunker::pairsInChunk(const InlineMarkdownReading &added, qsizetype offset)
{
    if (!m_inChunk.known || m_inChunk.pendingTail || (added.unopenedBrackets > 0 && m_inChunk.brackets))
        return false;
    for (const int length : added.backtickLengths) {
        if (m_inChunk.codeLengths.contains(length))
            return false;
    }
    // Each closer pairs with the nearest openers it may pair with: when the
    // chunk holds enough of them for all its markers, it pairs there, and
    // every opener from the farthest it may take on is gone.
    // A closer that pairs in the chunk takes the markers between out of
    // play: pairs the text added made of them, read alone, may not stand,
    // and their closers look further back.
    const bool pairsOfItsOwn = std::any_of(added.ranges.cbegin(), added.ranges.cend(), [](const auto &range) {
        return range.hold == InlineMarkdownReading::Hold::closed;
    });
    if (!added.closers.isEmpty() && pairsOfItsOwn)
        return false;
    for (const InlineMarkdownReading::Closer &closer : added.closers) {
        // A run that may open as well as close may have opened, read alone,
        // for a closer after it: in the chunk it closes first, and that
        // closer looks further back.
        if (closer.canOpen)
            return false;
        int left = closer.left;
        qsizetype k = m_inChunk.openers.size() - 1;
        qsizetype farthest = -1;
        for (; left > 0 && k >= 0; --k) {
            const int group = m_inChunk.openers[k].second;
            if (group / 6 == OpenBefore::group(closer.marker, false, 0) / 6
                && mayPair(group % 3, (group % 6) >= 3, closer)) {
                --left;
                farthest = k;
            }
        }
        if (left > 0)
            return false;
        m_inChunk.openers.resize(farthest);
    }
    // A blank line leaves nothing open from before it.
    if (added.firstParagraphEnd >= 0)
        m_inChunk = InChunk{true, {}, false, {}, false};
    // Openers added before a closer that paired in the chunk are gone with
    // it: only when none did are they known to be open.
    if (added.closers.isEmpty()) {
        for (const InlineMarkdownReading::Opener &opener : added.openers)
            m_inChunk.openers.append(
                {offset + opener.position, OpenBefore::group(opener.marker, opener.canClose, opener.count)});
    }
    m_inChunk.brackets = m_inChunk.brackets || !added.brackets.isEmpty();
    for (const auto &run : added.codeRuns)
        m_inChunk.codeLengths.append(run.second);
    m_inChunk.pendingTail = added.pendingTail >= 0;
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
    if (!skipReading(text, chunks)) {
        while (!cutLines(text, chunks)) {
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
