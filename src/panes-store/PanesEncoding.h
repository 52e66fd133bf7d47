#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QStringView>
#include <QUuid>

namespace nerim {

struct ConversationTurn;
class TurnResponse;
struct OutputLine;
class OutputLines;
struct PaneDiskSnapshot;
struct PanesSnapshot;

// The compact JSON of panes.json written piece by piece, byte for byte as the
// platform's JSON document writes it (keys in sorted order, strings as UTF-8
// with the same escapes, whole numbers up to 2^53 in magnitude with all their
// digits, other numbers in their shortest form), so a document can be put
// together from pieces encoded at different times, or taken from a file
// written before.
namespace panesEncoding {

// A JSON string with its quotes.
void appendString(QByteArray &out, QStringView text);
// The same for text held as a transcript holds it (OutputLines::utf8).
void appendHeldString(QByteArray &out, QByteArrayView held);
// A turn's answer as the JSON string of its joined text.
void appendResponse(QByteArray &out, const TurnResponse &response);
// A JSON number.
void appendNumber(QByteArray &out, double value);
void appendInteger(QByteArray &out, qint64 value);
// A UUID's text form with its quotes.
void appendUuid(QByteArray &out, const QUuid &id);

// One element of "outputLines" / "conversation".
void appendOutputLine(QByteArray &out, const OutputLine &line);
void appendOutputLine(QByteArray &out, const OutputLines &lines, qsizetype index);
void appendTurn(QByteArray &out, const ConversationTurn &turn);

// A pane object is: opening, its turns joined by ",", middle, its lines joined
// by ",", closing. The document is: opening, its panes joined by ",", closing.
void appendPaneOpening(QByteArray &out, const PaneDiskSnapshot &pane);
void appendPaneMiddle(QByteArray &out, const PaneDiskSnapshot &pane);
void appendPaneClosing(QByteArray &out, const PaneDiskSnapshot &pane);
void appendDocumentOpening(QByteArray &out, const PanesSnapshot &snapshot);
void appendDocumentClosing(QByteArray &out, const PanesSnapshot &snapshot);

// Receives an encoded document in order. Bytes are gathered in `buffer()` and
// passed on in pieces of about 64 KiB, so that no more of the document than
// that (or one long element) is in memory at once.
class Output {
public:
    static constexpr qsizetype pieceSize = 64 * 1024;

    virtual ~Output() = default;
    QByteArray &buffer() { return m_buffer; }
    // Passes the gathered bytes on once there are enough of them.
    void flushIfLarge()
    {
        if (m_buffer.size() >= pieceSize)
            flush();
    }
    void flush();
    // Appends `length` bytes of the file open at `fd` from `offset` on.
    // Throws when they cannot all be read.
    virtual void copyFrom(int fd, qint64 offset, qint64 length);
    // Where the next byte goes in the document.
    qint64 position() const { return m_passed + m_buffer.size(); }

protected:
    virtual void put(QByteArrayView bytes) = 0;
    // For an output that appends copies by itself: counts them as passed.
    void passed(qint64 length) { m_passed += length; }

private:
    QByteArray m_buffer;
    qint64 m_passed = 0;
};

// An output that collects the whole document.
class ByteArrayOutput final : public Output {
public:
    QByteArray take();

protected:
    void put(QByteArrayView bytes) override { m_bytes.append(bytes); }

private:
    QByteArray m_bytes;
};

// What an encoding may take, already encoded, from a file written before, and
// what it is told of the parts it wrote. The bytes it puts in place of a part
// must be exactly those the part encodes to.
class Reuse {
public:
    virtual ~Reuse() = default;
    // Puts the first lines of the pane's transcript ("line,line,…", without a
    // final comma) and returns how many; 0 when it has none of them.
    virtual qsizetype putLines(const PaneDiskSnapshot &pane, Output &out) = 0;
    // Puts the turn and returns true, or returns false.
    virtual bool putTurn(const PaneDiskSnapshot &pane, const ConversationTurn &turn, Output &out) = 0;
    // The pane's lines (joined by ",") or one of its turns took [begin, end).
    virtual void wroteLines(const PaneDiskSnapshot &pane, qint64 begin, qint64 end) = 0;
    virtual void wroteTurn(const PaneDiskSnapshot &pane, const ConversationTurn &turn, qint64 begin, qint64 end) = 0;
};

// Encodes the document into `out`, taking what `reuse` has, and flushes it.
void encodeDocument(const PanesSnapshot &snapshot, Output &out, Reuse *reuse = nullptr);

} // namespace panesEncoding
} // namespace nerim
