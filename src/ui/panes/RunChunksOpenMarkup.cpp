// Markup in front of a run's open chunk that nothing has closed yet
// (RunChunker::OpenBefore): what is kept of it, what later text may close or
// make read otherwise, and what a reading of that text reaches back to.
#include "ui/panes/RunChunks.h"

#include "ui/panes/RunChunksParts.h"

#include <algorithm>
#include <atomic>

namespace nerim {

using chunking::mayPair;

namespace {

int markerIndex(char16_t marker) { return marker == u'*' ? 0 : marker == u'_' ? 1 : 2; }

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

qsizetype RunChunker::OpenBefore::heldCount() const
{
    qsizetype count = m_brackets.size() + m_codeRuns.size() + (m_pendingTail >= 0 ? 1 : 0);
    for (const QList<qsizetype> &list : m_openers)
        count += list.size();
    return count;
}

void RunChunker::OpenBefore::changed()
{
    // Chunkers may run on several threads: each change takes a stamp no
    // other has.
    static std::atomic<quint64> lastStamp{0};
    m_stamp = ++lastStamp;
}

void RunChunker::OpenBefore::clear()
{
    if (heldCount() == 0)
        return;
    changed();
    for (QList<qsizetype> &list : m_openers)
        list.clear();
    m_brackets.clear();
    m_codeRuns.clear();
    m_pendingTail = -1;
}

void RunChunker::OpenBefore::dropFrom(qsizetype from)
{
    const qsizetype before = heldCount();
    // Lists shared with a copy are copied only when something goes.
    const auto drop = [from](QList<qsizetype> &places) {
        while (!places.isEmpty() && places.constLast() >= from)
            places.removeLast();
    };
    for (QList<qsizetype> &list : m_openers)
        drop(list);
    drop(m_brackets);
    const auto after = [from](const std::pair<qsizetype, int> &run) { return run.first >= from; };
    if (std::any_of(m_codeRuns.cbegin(), m_codeRuns.cend(), after))
        m_codeRuns.removeIf(after);
    if (m_pendingTail >= from)
        m_pendingTail = -1;
    if (heldCount() != before)
        changed();
}

void RunChunker::OpenBefore::add(const InlineMarkdownReading &reading, qsizetype offset, qsizetype from, qsizetype to)
{
    const qsizetype before = heldCount();
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
    if (heldCount() != before)
        changed();
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

} // namespace nerim
