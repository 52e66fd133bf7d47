#pragma once

#include "agents/OutputLines.h"
#include "foundation/BeneathFolder.h"
#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

namespace nerim {

struct PanesSnapshot;

// The changes saved since panes.json was last written whole, kept beside it
// (as panes-changes.log) so that a save writes what changed, not every
// transcript again. The log names the panes.json it amends by the document id
// written inside that file at its whole write (PanesSnapshot::documentId), so
// the two stay together through copies, moves, restored backups, `chmod`,
// `touch` and links, and a log never applies to another file.
//
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
// Reading stops at the first frame that is torn, fails its check, or does not
// decode or apply (a pane to keep that is not there, more lines or turns kept
// than it holds): the records before it count, none after it.
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
// The log is folded back into panes.json once it would grow beyond half of
// that file's size, and at least this much.
inline constexpr qint64 foldMinimumBytes = qint64(4) * 1024 * 1024;

// "panes.json" gives "panes-changes.log" in the same folder.
QString pathFor(const QString &panesPath);

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

// A log file as the writer left it (or the reader found it): which file, and
// where its last good frame ends.
struct LogFile {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    friend bool operator==(const LogFile &, const LogFile &) = default;
};

struct ReadOutcome {
    enum class Kind {
        none,       // no log (or a link or something else than a regular file there: never read)
        ours,       // written for the file read: its records were applied
        superseded, // written for the file this one replaced, and folded into it
        other,      // written for another file (an older backup restored, a copied folder): not applied
        unreadable, // nothing in it can be read, not even which file it is for
    };
    Kind kind = Kind::none;
    // How many records were applied.
    int applied = 0;
    // Ours: a frame that could not be read or applied ended the log early;
    // `why` says what was wrong with it. Unreadable: why.
    bool fault = false;
    QString why;
    // Ours: the header could not be read, the records were taken by the id
    // they carry; or the log names the file by its file-system identity. The
    // next save writes the file whole either way.
    bool headerDamaged = false;
    bool legacy = false;
    // Where the first frame after the header starts (the header's bytes,
    // damaged or not, come before), where the last frame read whole ends, and
    // the log's size when read.
    qint64 recordsStart = 0;
    qint64 goodEnd = 0;
    qint64 end = 0;
    // Ours: the log as read, up to `goodEnd` (the saver may append there once
    // what lies after it was set aside).
    std::optional<LogFile> log;
};

// Applies the log at `logPath` to `snapshot`, the content of a panes file as
// it was read (its document id is the snapshot's; `panesFile` is the file's
// identity, for a log of version 1). Only a log written for that file is
// applied; any other changes nothing. Never throws.
ReadOutcome applyLog(PanesSnapshot &snapshot, const QString &logPath,
                     const std::optional<AtomicFileWriter::FileIdentity> &panesFile);

// Appends `record` to the log at `logPath` and makes it durable. `known` is
// the log as written (or read) last for the file of `documentId`; without
// one, a new log starting with the header is made (a file already at the
// path is set aside first, never removed). Returns the log after the append,
// or nothing when the file there is not `known` (it was changed or replaced):
// nothing was written then. A log that another name also holds (a hard-linked
// copy) is first copied to a file of its own, so the other name never
// changes. Throws MemoryError when the write fails; what was appended is then
// cut off again where possible. `keptAside` is given the name that a log found
// in the way of a new one was moved to.
std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const QUuid &documentId, const QByteArray &record);
std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const QUuid &documentId, const Record &record,
                                    std::optional<QString> *keptAside = nullptr);
// Appends the fold marker naming `into` to the log `known`, the same way.
std::optional<LogFile> appendFoldMarker(const QString &logPath, const LogFile &known, const QUuid &into);

// After panes.json was written whole: removes the log that was marked as
// folded into it (`folded`, when it is still the file at the path), and sets
// any other log found there aside (it was not read into the new file):
// returns where that one went.
std::optional<QString> finishFold(const QString &logPath, const std::optional<LogFile> &folded);

// Where a panes file or one of its companions lies: its folder, opened beneath
// the project when the file is in a project's data folder (a project may be
// shaped by anyone, and a folder on the way swapped for a link at any moment),
// and the file's own name there. Everything done to the file goes through the
// open folder by that name, never by a path resolved again.
struct Place {
    BeneathFolder folder;
    QString name;

    QByteArray native() const;
    QString path() const { return folder.filePath(name); }
};

// Nothing when a folder on the way is missing. Throws MemoryError
// (writeFailed, with the line saying which link) when the way needs a link,
// or when the folder cannot be opened.
std::optional<Place> placeOf(const QString &path);
// The same for a caller that only looks: a refused way is logged and gives
// nothing too.
std::optional<Place> lookAt(const QString &path);
// Removes the file at `path` (never what a link there leads to), reached as
// lookAt does; best effort.
void removeFile(const QString &path);
// The regular file at `path`, reached as lookAt does (not through a link).
std::optional<AtomicFileWriter::FileIdentity> identityAt(const QString &path);
// The regular file at `path` opened for reading, reached as lookAt does; -1
// when there is none (or not one to read: a link, a refused way).
int openForReading(const QString &path);

// Moves the file at `path` out of the way, as "<path>.<tag>-<time>" (with a
// number when that is taken), so that nothing replaces it: the new path, or
// nothing (with a log line) when it could not be moved.
std::optional<QString> setAside(const QString &path, QStringView tag);
// The same for the file at `place`.
std::optional<QString> setAside(const Place &place, QStringView tag);

// Cuts a log of ours back to what was read of it (`outcome.goodEnd`), so that
// it stays readable up to its last good record and may be appended to. When
// a fault ended it, its header and what could not be read are first kept in
// a file of their own ("<log>.unreadable-<time>", made durable). The log is
// cut only once that is done, and one that a linked copy shares is not cut in
// place: what was read of it becomes a file of its own.
struct CutBack {
    // The name of the file kept aside, when one was written.
    std::optional<QString> aside;
    // The unread part is safe (kept aside, or there was none to keep).
    bool unreadKept = false;
    // The log as cut back, when it was.
    std::optional<LogFile> log;
};
CutBack cutToReadable(const QString &logPath, const ReadOutcome &outcome);

namespace detail {
// While one is alive, every save writes panes.json whole (for tests of the
// whole write, which every fold-back is).
class ScopedWholeWrites {
public:
    ScopedWholeWrites();
    ~ScopedWholeWrites();
    ScopedWholeWrites(const ScopedWholeWrites &) = delete;
    ScopedWholeWrites &operator=(const ScopedWholeWrites &) = delete;
    static bool active();
};
// While one is alive, the log is folded back from `bytes` on instead of
// `foldMinimumBytes` (so that tests reach fold-backs with small files).
class ScopedFoldMinimum {
public:
    explicit ScopedFoldMinimum(qint64 bytes);
    ~ScopedFoldMinimum();
    ScopedFoldMinimum(const ScopedFoldMinimum &) = delete;
    ScopedFoldMinimum &operator=(const ScopedFoldMinimum &) = delete;
    // The fold minimum in force.
    static qint64 current();
};
} // namespace detail

} // namespace panesChangeLog
} // namespace nerim
