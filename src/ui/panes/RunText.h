#pragma once

#include "panes-store/OutputLines.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <algorithm>

namespace nerim {

// The text of a run of agent output: its lines' texts joined with "\n", with
// the place where each ends. Lines taken from a transcript are read from it
// when a stretch is asked for (the run holds no copy of their text); lines
// given as strings are held as those strings. Any stretch of it is put
// together on demand.
class RunText {
public:
    RunText() = default;
    explicit RunText(const QString &firstLine) { append(firstLine); }
    // A run whose first line is line `index` of `lines`.
    RunText(const OutputLines &lines, qsizetype index) { append(lines, index); }

    // Adds a line at the end (after a "\n" unless it is the first).
    void append(const QString &line);
    // Adds line `index` of `lines`; held by reference when it follows the
    // run's last line there.
    void append(const OutputLines &lines, qsizetype index);

    qsizetype size() const { return m_size >= 0 ? m_size : m_ends.isEmpty() ? 0 : m_ends.last(); }
    bool isEmpty() const { return size() == 0; }
    // [from, from + length) of the joined text.
    QString mid(qsizetype from, qsizetype length) const;
    QString toString() const { return mid(0, size()); }
    // How many of the text's characters are in [from, from + length) and
    // match `needle` wholly inside one line.
    qsizetype count(qsizetype from, qsizetype length, QStringView needle) const;
    // The run's line (from 0) that holds position `at` of the joined text.
    qsizetype lineOf(qsizetype at) const { return std::min(lineAt(at), std::max<qsizetype>(0, lineCount() - 1)); }
    // Where line `line` (from 0) begins, and where it ends (before its line
    // break), in the joined text.
    qsizetype lineStart(qsizetype line) const { return line == 0 ? 0 : m_ends.at(line - 1) + 1; }
    qsizetype lineEnd(qsizetype line) const { return m_ends.at(line); }
    // Calls `visit` with each line's part in [from, from + length), in order,
    // without putting the stretch together.
    template <typename Visit>
    void forEachLine(qsizetype from, qsizetype length, Visit visit) const
    {
        from = std::clamp<qsizetype>(from, 0, size());
        const qsizetype to = std::min(size(), from + std::max<qsizetype>(0, length));
        for (qsizetype line = lineAt(from); line < lineCount(); ++line) {
            const qsizetype end = m_ends.at(line);
            const qsizetype start = line == 0 ? 0 : m_ends.at(line - 1) + 1;
            if (start > to || (start == to && end > to))
                break;
            const qsizetype first = std::max(start, from);
            const QString text = lineText(line);
            visit(QStringView(text).sliced(first - start, std::max<qsizetype>(0, std::min(end, to) - first)));
        }
    }

    friend bool operator==(const RunText &a, const RunText &b)
    {
        return a.size() == b.size() && a.toString() == b.toString();
    }

private:
    friend class RunChunker;
    // The text up to `size`, sharing this one's lines (not to be appended to).
    RunText prefix(qsizetype size) const
    {
        RunText text = *this;
        text.m_size = std::clamp<qsizetype>(size, 0, this->size());
        return text;
    }
    // The line that holds position `at` (its line break counts as its own).
    qsizetype lineAt(qsizetype at) const;
    QString lineText(qsizetype line) const;
    qsizetype lineCount() const { return m_ends.size(); }

    // Lines [m_first, m_first + m_fromTranscript) of m_transcript come first;
    // lines given as strings follow.
    OutputLines m_transcript;
    qsizetype m_first = 0;
    qsizetype m_fromTranscript = 0;
    QList<QString> m_lines;
    // Where each line ends in the joined text.
    QList<qsizetype> m_ends;
    // For a prefix: where the text ends (-1: with its last line).
    qsizetype m_size = -1;
};

} // namespace nerim
