#include "ui/panes/LongLines.h"

#include <algorithm>

namespace nerim::LongLines {

namespace {

// How far back from the limit a space is looked for.
constexpr qsizetype kWordReach = 256;

} // namespace

qsizetype shownLength(QStringView line, int slices)
{
    const qsizetype limit = qsizetype(std::max(1, slices)) * sliceLength;
    if (line.size() <= limit)
        return line.size();
    // After the last space near the limit, so the shown part ends on a word.
    for (qsizetype i = limit; i > limit - kWordReach; --i)
        if (line[i - 1] == u' ' || line[i - 1] == u'\t')
            return i;
    qsizetype end = limit;
    if (line[end - 1].isHighSurrogate() && line[end].isLowSurrogate())
        --end;
    return end;
}

Elided elide(QStringView text, int slices)
{
    Elided elided;
    if (longestLine(text) <= qsizetype(std::max(1, slices)) * sliceLength) {
        elided.text = text.toString();
        return elided;
    }
    qsizetype start = 0;
    while (true) {
        const qsizetype end = text.indexOf(u'\n', start);
        const QStringView line = text.sliced(start, (end < 0 ? text.size() : end) - start);
        const qsizetype shown = shownLength(line, slices);
        elided.text += line.first(shown);
        elided.hidden += line.size() - shown;
        if (end < 0)
            break;
        elided.text += u'\n';
        start = end + 1;
    }
    return elided;
}

Elided elide(const QString &text, int slices)
{
    if (longestLine(text) <= qsizetype(std::max(1, slices)) * sliceLength)
        return {text, 0};
    return elide(QStringView(text), slices);
}

qsizetype longestLine(QStringView text)
{
    qsizetype longest = 0;
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = text.indexOf(u'\n', start);
        if (end < 0)
            end = text.size();
        longest = std::max(longest, end - start);
        start = end + 1;
    }
    return longest;
}

} // namespace nerim::LongLines
