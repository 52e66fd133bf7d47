// How RunChunker reads a run's prose as inline Markdown: which stretches
// markup holds open across a line break, reading on from a stretch read
// before (only what was added and what it reaches back to), and telling that
// text added pairs only inside the open chunk.
#include "ui/panes/RunChunks.h"

#include "ui/panes/RunChunksParts.h"

#include <algorithm>

namespace nerim {

using namespace Qt::StringLiterals;
using chunking::holdsInside;
using chunking::mayPair;
using chunking::Stretches;

namespace {

// Adds [start, end) to stretches in order, merging it with the last one it overlaps.
void addStretch(Stretches &stretches, qsizetype start, qsizetype end)
{
    if (!stretches.isEmpty() && start < stretches.last().second)
        stretches.last().second = std::max(stretches.last().second, end);
    else
        stretches.append({start, end});
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

} // namespace nerim
