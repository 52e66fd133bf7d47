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
// With `carriageReturnEndsLine` false only LF ends a line, and a CR before it
// stays in the line (for readers that clean lines themselves).
class OutputLineSplitter {
public:
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

    QByteArray m_partial;
    bool m_afterCarriageReturn = false;
    bool m_carriageReturnEndsLine = true;
};

} // namespace nerim::platform
