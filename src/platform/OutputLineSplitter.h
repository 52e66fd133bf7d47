#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <algorithm>
#include <cstring>
#include <utility>

namespace nerim::platform {

// Finds where lines end in a stretch of bytes: at LF, and, when asked, at a
// lone CR or the CR of a CRLF. Both searches run with memchr, and each byte is
// looked at once by each of them however many lone CRs a line holds.
class LineEndFinder {
public:
    LineEndFinder(const char *data, qsizetype size, bool carriageReturnEndsLine)
        : m_data(data), m_size(size), m_carriageReturnEndsLine(carriageReturnEndsLine)
    {
    }

    // The position of the first terminator at or after `from`, or -1.
    qsizetype next(qsizetype from)
    {
        // A terminator found before is searched for again only once passed.
        if (m_lineFeed == -2 || (m_lineFeed >= 0 && m_lineFeed < from))
            m_lineFeed = find('\n', from, m_size);
        if (!m_carriageReturnEndsLine)
            return m_lineFeed;
        if (m_carriageReturn == -2 || (m_carriageReturn >= 0 && m_carriageReturn < from))
            m_carriageReturn = find('\r', from, m_size);
        if (m_carriageReturn == -1)
            return m_lineFeed;
        if (m_lineFeed == -1)
            return m_carriageReturn;
        return std::min(m_lineFeed, m_carriageReturn);
    }

private:
    qsizetype find(char c, qsizetype from, qsizetype to) const
    {
        if (from >= to)
            return -1;
        const void *at = std::memchr(m_data + from, c, size_t(to - from));
        return at ? static_cast<const char *>(at) - m_data : -1;
    }

    const char *m_data;
    qsizetype m_size;
    bool m_carriageReturnEndsLine;
    // -2: not searched yet; -1: none left.
    qsizetype m_lineFeed = -2;
    qsizetype m_carriageReturn = -2;
};

// A batch of a child's output lines as the program wrote them: UTF-8 bytes,
// not yet decoded, in order. The bytes are shared with the buffers they were
// read into, so passing a batch on copies no text.
class OutputLines {
public:
    enum class Form : quint8 {
        // A line as the program ended it (or the last one, at the pipe's end).
        whole,
        // The first part of a line longer than the limit, cut at a character
        // boundary; the rest follows as further lines.
        cut,
        // A line longer than the limit, left out: only its size is known.
        leftOut,
    };

    qsizetype size() const { return m_lines.size(); }
    bool isEmpty() const { return m_lines.isEmpty(); }

    Form form(qsizetype i) const { return m_lines.at(i).form; }
    // The line's bytes, without its terminator (nothing for a left-out line).
    QByteArrayView bytes(qsizetype i) const
    {
        const Line &line = m_lines.at(i);
        if (line.buffer < 0)
            return {};
        return QByteArrayView(m_buffers.at(line.buffer).constData() + line.offset, line.size);
    }
    // How many bytes the line had; for a left-out line, all it had.
    qint64 byteCount(qsizetype i) const { return m_lines.at(i).size; }
    // The limit the lines were cut at or left out beyond, in bytes.
    qsizetype limit() const { return m_limit; }

    // The line decoded as UTF-8, bad bytes becoming U+FFFD. A cut piece ends
    // with `cutMarker`; a left-out line says that it was left out.
    QString text(qsizetype i) const
    {
        switch (form(i)) {
        case Form::whole:
            return decode(bytes(i));
        case Form::cut:
            return decode(bytes(i)) + cutMarker(m_limit);
        case Form::leftOut:
            break;
        }
        return QStringLiteral("[A line over %1 was left out]").arg(sizeText(m_limit));
    }

    // UTF-8 as text, bad bytes becoming U+FFFD; unlike QString::fromUtf8, a
    // byte-order mark at the start is kept, so text passes on unchanged.
    static QString decode(QByteArrayView bytes)
    {
        if (bytes.startsWith("\xEF\xBB\xBF"))
            return QChar(0xFEFF) + QString::fromUtf8(bytes.sliced(3));
        return QString::fromUtf8(bytes);
    }

    // " [… line cut, longer than 1 MiB]" for a limit of 1 MiB.
    static QString cutMarker(qsizetype limit)
    {
        return QStringLiteral(" [\u2026 line cut, longer than %1]").arg(sizeText(limit));
    }
    // "1 MiB", "64 MiB"; limits below a mebibyte in bytes.
    static QString sizeText(qsizetype bytes)
    {
        constexpr qsizetype mebibyte = qsizetype(1) << 20;
        if (bytes >= mebibyte && bytes % mebibyte == 0)
            return QStringLiteral("%1 MiB").arg(bytes / mebibyte);
        return QStringLiteral("%1 bytes").arg(bytes);
    }

    void append(const OutputLines &other)
    {
        const qint32 shift = qint32(m_buffers.size());
        m_buffers.append(other.m_buffers);
        m_lines.reserve(m_lines.size() + other.m_lines.size());
        for (Line line : other.m_lines) {
            line.buffer += shift;
            m_lines.append(line);
        }
        m_limit = other.m_limit;
    }

private:
    friend class OutputLineSplitter;

    struct Line {
        qsizetype offset;
        qint64 size;
        qint32 buffer;
        Form form;
    };

    qint32 addBuffer(QByteArray bytes)
    {
        m_buffers.append(std::move(bytes));
        return qint32(m_buffers.size() - 1);
    }
    void addLine(qint32 buffer, qsizetype offset, qsizetype size, Form form)
    {
        m_lines.append(Line{offset, size, buffer, form});
    }
    void addLeftOut(qint64 size) { m_lines.append(Line{0, size, -1, Form::leftOut}); }

    QList<QByteArray> m_buffers;
    QList<Line> m_lines;
    qsizetype m_limit = 0;
};

// Cuts a child's output bytes into lines. A line ends at LF, CRLF or a lone
// CR (a CRLF split across two reads still counts once); the terminator is not
// part of the line. Bytes of an unfinished line wait for the next read, so a
// character split across two reads decodes whole.
//
// A line that grows past the limit without ending is, as asked,
//   - cut (`Overlong::cut`): the first part, up to the limit at a character
//     boundary, is delivered as a cut piece and the rest goes on as a new
//     line, so a child printing without line breaks never makes its reader
//     hold more than about the limit; or
//   - left out (`Overlong::leaveOut`): its bytes are dropped as they come and
//     the line is reported by its size once it ends, for readers that must
//     see a line whole or not at all (an agent's events, at 64 MiB).
//
// With `carriageReturnEndsLine` false only LF ends a line, and a CR before it
// stays in the line (for readers that clean lines themselves).
class OutputLineSplitter {
public:
    enum class Overlong { cut, leaveOut };

    static constexpr qsizetype maxLineBytes = qsizetype(1) << 20;
    static QString cutMarker() { return OutputLines::cutMarker(maxLineBytes); }

    explicit OutputLineSplitter(bool carriageReturnEndsLine = true, qsizetype limit = maxLineBytes,
                                Overlong overlong = Overlong::cut)
        : m_limit(limit > 4 ? limit : 4), m_overlong(overlong), m_carriageReturnEndsLine(carriageReturnEndsLine)
    {
    }

    qsizetype limit() const { return m_limit; }

    // Appends to `out` every line the bytes complete, in order.
    void split(QByteArray bytes, OutputLines &out)
    {
        out.m_limit = m_limit;
        const char *data = bytes.constData();
        const qsizetype size = bytes.size();
        qsizetype start = 0;
        if (m_afterCarriageReturn && size > 0) {
            m_afterCarriageReturn = false;
            if (data[0] == '\n')
                start = 1;
        }
        qint32 buffer = -1; // `bytes` among the batch's buffers, once a line lies in it
        LineEndFinder ends(data, size, m_carriageReturnEndsLine);
        for (;;) {
            const qsizetype end = ends.next(start);
            if (end < 0)
                break;
            if (m_discarded > 0) {
                out.addLeftOut(m_discarded + (end - start));
                m_discarded = 0;
            } else if (!m_partial.isEmpty()) {
                m_partial.append(data + start, end - start);
                addWhole(std::exchange(m_partial, QByteArray()), out);
            } else if (end - start > m_limit) {
                addWhole(bytes.sliced(start, end - start), out);
            } else if (end > start) {
                if (buffer < 0)
                    buffer = out.addBuffer(bytes);
                out.addLine(buffer, start, end - start, OutputLines::Form::whole);
            } else {
                out.addLine(-1, 0, 0, OutputLines::Form::whole);
            }
            start = end + 1;
            if (data[end] == '\r') {
                if (start < size) {
                    if (data[start] == '\n')
                        ++start;
                } else {
                    m_afterCarriageReturn = true;
                }
            }
        }
        if (start >= size)
            return;
        // The unfinished line waits for more.
        if (m_discarded > 0) {
            m_discarded += size - start;
            return;
        }
        if (m_partial.isEmpty() && start == 0)
            m_partial = std::move(bytes); // a long line keeps growing in its first buffer
        else
            m_partial.append(data + start, size - start);
        settleOverlongPartial(out);
    }

    // The pipe has closed: delivers a last line that had no terminator.
    void finish(OutputLines &out)
    {
        out.m_limit = m_limit;
        m_afterCarriageReturn = false;
        if (m_discarded > 0) {
            out.addLeftOut(m_discarded);
            m_discarded = 0;
        } else if (!m_partial.isEmpty()) {
            addWhole(std::exchange(m_partial, QByteArray()), out);
        }
    }

    // The same, decoded: calls `emitLine(QString)` for every line the bytes
    // complete, in order (a cut piece ends with the cut marker).
    template <typename F>
    void feed(const char *data, qsizetype size, F &&emitLine)
    {
        OutputLines lines;
        split(QByteArray(data, size), lines);
        for (qsizetype i = 0; i < lines.size(); ++i)
            emitLine(lines.text(i));
    }

    template <typename F>
    void feed(const QByteArray &bytes, F &&emitLine)
    {
        feed(bytes.constData(), bytes.size(), std::forward<F>(emitLine));
    }

    template <typename F>
    void finish(F &&emitLine)
    {
        OutputLines lines;
        finish(lines);
        for (qsizetype i = 0; i < lines.size(); ++i)
            emitLine(lines.text(i));
    }

private:
    // A finished line held in a buffer of its own, cut or left out when too long.
    void addWhole(QByteArray line, OutputLines &out)
    {
        if (line.size() > m_limit && m_overlong == Overlong::leaveOut) {
            out.addLeftOut(line.size());
            return;
        }
        const qint32 buffer = out.addBuffer(line);
        qsizetype offset = 0;
        while (line.size() - offset > m_limit) {
            const qsizetype cut = characterBoundary(line.constData() + offset, m_limit);
            out.addLine(buffer, offset, cut, OutputLines::Form::cut);
            offset += cut;
        }
        out.addLine(buffer, offset, line.size() - offset, OutputLines::Form::whole);
    }

    // The unfinished line has grown past the limit: its first parts are cut
    // off (or it is given up on, keeping only its size).
    void settleOverlongPartial(OutputLines &out)
    {
        if (m_partial.size() <= m_limit)
            return;
        if (m_overlong == Overlong::leaveOut) {
            m_discarded = m_partial.size();
            m_partial = QByteArray();
            return;
        }
        qsizetype offset = 0;
        QByteArray pieces = m_partial;
        const qint32 buffer = out.addBuffer(pieces);
        while (m_partial.size() - offset > m_limit) {
            const qsizetype cut = characterBoundary(m_partial.constData() + offset, m_limit);
            out.addLine(buffer, offset, cut, OutputLines::Form::cut);
            offset += cut;
        }
        m_partial = m_partial.sliced(offset);
    }

    // At most `limit` bytes, fewer when that would split a UTF-8 character.
    static qsizetype characterBoundary(const char *data, qsizetype limit)
    {
        qsizetype cut = limit;
        for (int back = 0; back < 3 && (static_cast<unsigned char>(data[cut]) & 0xC0) == 0x80; ++back)
            --cut;
        return cut;
    }

    QByteArray m_partial;
    // Bytes of a line being left out so far (0: none is).
    qint64 m_discarded = 0;
    qsizetype m_limit;
    Overlong m_overlong;
    bool m_afterCarriageReturn = false;
    bool m_carriageReturnEndsLine = true;
};

} // namespace nerim::platform
