#pragma once

// The change log file beside panes.json: reading it and applying its records,
// appending to it, marking it folded, cutting it back to what could be read,
// and setting it aside. Its records' form is PanesChangeRecord.

#include "panes-store/PanesChangeRecord.h"
#include "panes-store/PanesFilePlace.h"
#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
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
// Reading stops at the first frame that is torn, fails its check, or does not
// decode or apply (a pane to keep that is not there, more lines or turns kept
// than it holds): the records before it count, none after it.
namespace panesChangeLog {

// The log is folded back into panes.json once it would grow beyond half of
// that file's size, and at least this much.
inline constexpr qint64 foldMinimumBytes = qint64(4) * 1024 * 1024;

// "panes.json" gives "panes-changes.log" in the same folder.
QString pathFor(const QString &panesPath);

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
    // Why what could not be done failed, in plain words.
    QString why;
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
