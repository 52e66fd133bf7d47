#pragma once

#include <QByteArray>
#include <QString>

namespace nerim::platform {

// Cuts a child's output bytes into text lines. A line ends at LF, CRLF or a lone
// CR (a CRLF split across two reads still counts once); the terminator is not
// part of the line. Each line is decoded as UTF-8, bad bytes becoming U+FFFD.
// Bytes of an unfinished line wait for the next read, so a character split
// across two reads decodes whole.
//
// A line that grows past `maxLineBytes` without ending is cut there (at a
// character boundary): the part so far is delivered with `cutMarker` after it,
// and the rest goes on as a new line. A child printing without line breaks
// therefore never makes its reader hold more than about that much.
//
// With `carriageReturnEndsLine` false only LF ends a line, and a CR before it
// stays in the line (for readers that clean lines themselves).
class OutputLineSplitter {
public:
    static constexpr qsizetype maxLineBytes = qsizetype(1) << 20;
    static QString cutMarker() { return QStringLiteral(" [\u2026 line cut, longer than 1 MiB]"); }

    explicit OutputLineSplitter(bool carriageReturnEndsLine = true) : m_carriageReturnEndsLine(carriageReturnEndsLine) {}

    // Calls `emitLine(QString)` for every line the bytes complete, in order.
    template <typename F>
    void feed(const char *data, qsizetype size, F &&emitLine)
    {
        qsizetype start = 0;
        qsizetype i = 0;
        if (m_afterCarriageReturn && size > 0) {
            m_afterCarriageReturn = false;
            if (data[0] == '\n')
                start = i = 1;
        }
        for (; i < size; ++i) {
            const char c = data[i];
            if (c != '\n' && (c != '\r' || !m_carriageReturnEndsLine))
                continue;
            emitLine(takeLine(data + start, i - start));
            if (c == '\r') {
                if (i + 1 < size) {
                    if (data[i + 1] == '\n')
                        ++i;
                } else {
                    m_afterCarriageReturn = true;
                }
            }
            start = i + 1;
        }
        if (start < size)
            m_partial.append(data + start, size - start);
        while (m_partial.size() > maxLineBytes)
            emitLine(takeCutLine());
    }

    template <typename F>
    void feed(const QByteArray &bytes, F &&emitLine)
    {
        feed(bytes.constData(), bytes.size(), std::forward<F>(emitLine));
    }

    // The pipe has closed: delivers a last line that had no terminator.
    template <typename F>
    void finish(F &&emitLine)
    {
        m_afterCarriageReturn = false;
        if (!m_partial.isEmpty())
            emitLine(takeLine(nullptr, 0));
    }

private:
    QString takeLine(const char *data, qsizetype size)
    {
        if (m_partial.isEmpty())
            return QString::fromUtf8(data, size);
        m_partial.append(data, size);
        QString line = QString::fromUtf8(m_partial);
        m_partial.clear();
        return line;
    }

    // The first `maxLineBytes` of the unfinished line (fewer when that would
    // split a UTF-8 character), with the marker; the rest stays.
    QString takeCutLine()
    {
        qsizetype cut = maxLineBytes;
        for (int back = 0; back < 3 && (static_cast<unsigned char>(m_partial[cut]) & 0xC0) == 0x80; ++back)
            --cut;
        QString line = QString::fromUtf8(m_partial.constData(), cut) + cutMarker();
        m_partial.remove(0, cut);
        return line;
    }

    QByteArray m_partial;
    bool m_afterCarriageReturn = false;
    bool m_carriageReturnEndsLine = true;
};

} // namespace nerim::platform
