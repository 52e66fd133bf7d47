// A run's joined text: lines appended (read from the transcript in place
// when they follow one another there), stretches put together on demand.
#include "ui/panes/RunText.h"

#include <algorithm>

namespace nerim {

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
    if (from >= to)
        return {};
    // One whole line (what a growing run asks for most): that line's text.
    if (const qsizetype line = lineAt(from); (line == 0 ? 0 : m_ends.at(line - 1) + 1) == from && m_ends.at(line) == to)
        return lineText(line);
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

} // namespace nerim
