#pragma once

// What the files of RunChunker share and nothing outside them needs.

#include "ui/panes/InlineMarkdown.h"

#include <QList>
#include <algorithm>
#include <utility>

namespace nerim::chunking {

// Whether a closer may pair with an opener whose run of markers is `count`
// long (modulo 3 is all that counts): the rule of three, as pairing applies it.
inline bool mayPair(int count, bool openerCanClose, const InlineMarkdownReading::Closer &closer)
{
    if (closer.marker == u'~')
        return true;
    return !((openerCanClose || closer.canOpen) && (count + closer.count) % 3 == 0
             && !(count % 3 == 0 && closer.count % 3 == 0));
}

using Stretches = QList<std::pair<qsizetype, qsizetype>>;

// Whether one of the stretches (in order, not overlapping) holds `at` inside it.
inline bool holdsInside(const Stretches &stretches, qsizetype at)
{
    const auto it = std::lower_bound(stretches.cbegin(), stretches.cend(), at,
                                     [](const std::pair<qsizetype, qsizetype> &range, qsizetype place) {
                                         return range.first < place;
                                     });
    return it != stretches.cbegin() && std::prev(it)->second > at;
}

} // namespace nerim::chunking
