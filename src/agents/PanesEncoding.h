#pragma once

#include <QByteArray>
#include <QList>
#include <QStringView>
#include <QUuid>

namespace nerim {

struct ConversationTurn;
class TurnResponse;
struct OutputLine;
struct PaneDiskSnapshot;
struct PanesSnapshot;

// The compact JSON of panes.json written piece by piece, byte for byte as the
// platform's JSON document writes it (keys in sorted order, strings as UTF-8
// with the same escapes, whole numbers up to 2^53 in magnitude with all their
// digits, other numbers in their shortest form), so a document can be put together from pieces encoded at
// different times.
namespace panesEncoding {

// A JSON string with its quotes.
void appendString(QByteArray &out, QStringView text);
// A turn's answer as the JSON string of its joined text.
void appendResponse(QByteArray &out, const TurnResponse &response);
// A JSON number.
void appendNumber(QByteArray &out, double value);
void appendInteger(QByteArray &out, qint64 value);
// A UUID's text form with its quotes.
void appendUuid(QByteArray &out, const QUuid &id);

// One element of "outputLines" / "conversation".
void appendOutputLine(QByteArray &out, const OutputLine &line);
void appendTurn(QByteArray &out, const ConversationTurn &turn);

// A pane object is: opening, its turns joined by ",", middle, its lines joined
// by ",", closing. The document is: opening, its panes joined by ",", closing.
void appendPaneOpening(QByteArray &out, const PaneDiskSnapshot &pane);
void appendPaneMiddle(QByteArray &out, const PaneDiskSnapshot &pane);
void appendPaneClosing(QByteArray &out, const PaneDiskSnapshot &pane);
void appendDocumentOpening(QByteArray &out, const PanesSnapshot &snapshot);
void appendDocumentClosing(QByteArray &out, const PanesSnapshot &snapshot);

// Collects a document as a list of byte pieces: small writes go into the
// current piece, which is cut at about 64 KiB, and ready-made pieces (shared,
// not copied) are put in between.
class PieceList {
public:
    // Where the next bytes go.
    QByteArray &current();
    // Puts an encoded piece after what was written so far.
    void add(const QByteArray &piece);
    // Ends the current piece when it has grown large.
    void cutIfLarge();
    QList<QByteArray> take();

private:
    void cut();
    QList<QByteArray> m_pieces;
    QByteArray m_current;
};

// The whole document as pieces, every part encoded now.
QList<QByteArray> encodePieces(const PanesSnapshot &snapshot);
// The pieces joined.
QByteArray join(const QList<QByteArray> &pieces);

} // namespace panesEncoding
} // namespace nerim
