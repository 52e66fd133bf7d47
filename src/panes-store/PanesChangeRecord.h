#pragma once

// The change log's records: the frames it is made of, the header naming the
// panes.json it amends, a record of what changed between two snapshots, the
// fold marker, and applying a record to a snapshot. What the log file does
// with them (reading it whole, appending, setting it aside) is PanesChangeLog.

#include "panes-store/OutputLines.h"
#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

struct PanesSnapshot;

// The log is a sequence of frames, each "<length> <crc>\n<body>\n": the body's
// length in decimal, its CRC-32 as eight lower-case hex digits. The first
// frame's body is the header, compact JSON {"documentId":"…","version":2}.
// Every other frame is one save, a record, or a fold marker:
// - a record is a line {"documentId":"…","kept":[[K,T],…],"responses":[…]}
//   and, after it, a document in the form of panes.json (same encoder, same
//   keys) holding the root values whole and the panes in their order, each
//   with its small values whole but only the lines and closed turns added
//   after the first K lines and T turns that the pane of its id held before
//   the record (in panes.json, or as the records before left it). A pane the
//   record does not list is gone. A closed turn whose answer is made of the
//   pane's own transcript lines is written with an empty "agentResponse" and
//   an entry [pane, turn, pieces] in "responses", each piece [first, count]
//   (lines of the pane's transcript after the record) or a string (a line
//   held as text), so a long run's answer costs a few bytes, not its text
//   again. Each record repeats the document id, so the records of a log
//   whose header is damaged still tell which file they amend.
// - a fold marker {"foldedInto":"…"} is written when panes.json is about to
//   be written whole (just before the new file replaces the old one): it
//   names the new file's document id, so a log that a crash left beside the
//   new file is known to be in it already.
//
// Logs written before document ids (version 1) name the file by its device,
// inode, size, modification and change time; they are still read when those
// match, and the next save writes panes.json whole with an id.
namespace panesChangeLog {

inline constexpr int currentVersion = 2;
// The most one record holds. A larger change is written into panes.json
// instead, and the reader takes no record beyond it, so the two agree (and
// stay well below what the strict JSON reader takes whole).
inline constexpr qint64 maxRecordBytes = qint64(32) * 1024 * 1024;
// One frame around `body`.
QByteArray frame(const QByteArray &body);
// The header frame naming the panes file by its document id.
QByteArray encodeHeader(const QUuid &documentId);
// The header frame of the logs of version 1, naming the file by its identity.
QByteArray encodeLegacyHeader(const AtomicFileWriter::FileIdentity &panesFile);
// The frame saying that the file of document id `into` replaces the one the log amends.
QByteArray encodeFoldMarker(const QUuid &into);

// Transcript lines encoded before a record needs them: lines [first, end)
// of `lines` as a record's "outputLines" holds them, joined by ",", and the
// CRC-32 of those bytes.
struct EncodedLines {
    OutputLines lines;
    qsizetype first = 0;
    qsizetype end = 0;
    QByteArray bytes;
    quint32 crc = 0;

    // Encodes lines [first, end) of `lines`.
    static EncodedLines of(const OutputLines &lines, qsizetype first, qsizetype end);
    // Takes in the lines that follow on (`next.first == end`, the same storage).
    void extend(const EncodedLines &next);
};

// Where a record may find lines encoded already.
class LinesAhead {
public:
    virtual ~LinesAhead() = default;
    // Lines of the pane of `paneId` from line `first` of `lines` on, up to
    // `end` at most, when some are encoded (their `lines` share `lines`'s storage).
    virtual std::optional<EncodedLines> at(const QUuid &paneId, const OutputLines &lines, qsizetype first,
                                           qsizetype end) const = 0;
};

// A framed record as its pieces in order, so that lines encoded ahead are
// written as they are, never copied into one array.
struct Record {
    QList<QByteArray> pieces;
    qint64 size = 0;
    QByteArray joined() const;
};

// The framed record that takes the panes as `from` holds them to `to`, for
// the file of `documentId`, or nothing when it would take more than `limit`
// bytes. Lines shared with `from` are kept when both transcripts share their
// storage (a transcript only grows), closed turns while they are the same
// turns (same id, sizes and dates: a closed turn never changes). New lines
// that `ahead` holds encoded are taken from it: the bytes are the same.
std::optional<Record> encodeRecordPieces(const QUuid &documentId, const PanesSnapshot &from, const PanesSnapshot &to,
                                         qint64 limit, const LinesAhead *ahead = nullptr);
// The same, joined.
std::optional<QByteArray> encodeRecord(const QUuid &documentId, const PanesSnapshot &from, const PanesSnapshot &to,
                                       qint64 limit);

// Applies a record's body to `snapshot` whole or not at all. A kept
// transcript grows in its own storage when it can, so where the lines read
// from panes.json lie still describes its first lines. Given `documentId`, a
// record written for another file is refused. Throws JsonDecodingError or
// std::runtime_error for a record that cannot be applied.
void applyRecord(PanesSnapshot &snapshot, const QByteArray &body, const std::optional<QUuid> &documentId);

// Reading frames back.

// A frame line is at most "<19 digits> <8 hex digits>\n" (a length of 19
// digits is read only to be refused: no record is that large).
inline constexpr qsizetype maxFrameLine = 19 + 1 + 8 + 1;
// Far more than a header ever holds (under 300 bytes).
inline constexpr qint64 maxHeaderBytes = 64 * 1024;
// What a fold marker's body begins with.
inline constexpr QByteArrayView foldMarkerOpening = "{\"foldedInto\":";

// A frame read from `fd` at `offset`, within the file's first `end` bytes:
// its body and where the next frame starts, or nothing when it is torn,
// malformed, longer than `maxBody` or fails its check. `bodyStart` is set
// whenever the frame's line could be read (also for a torn body).
struct Frame {
    QByteArray body;
    qint64 next = 0;
};
std::optional<Frame> readFrame(int fd, qint64 offset, qint64 end, qint64 maxBody, QString &why,
                               qint64 *bodyStart = nullptr);

// What a header names: the document id, or (version 1) the file's identity.
struct Named {
    std::optional<QUuid> document;
    std::optional<AtomicFileWriter::FileIdentity> file;
};
// Throws JsonDecodingError for a header that cannot be read.
Named decodeHeader(const QByteArray &body);

bool isFoldMarker(const QByteArray &body);
// The document id a fold marker names, when it can be read.
std::optional<QUuid> foldedInto(const QByteArray &body);
// The document id a record names, when its first line can be read.
std::optional<QUuid> recordDocument(const QByteArray &body);

// Where the first frame after a damaged header starts: the first place after
// a line break, within the room a header may take, where a whole frame with a
// good check begins.
std::optional<qint64> firstFrameAfterDamage(int fd, qint64 end);

} // namespace panesChangeLog
} // namespace nerim
