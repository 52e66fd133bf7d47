#pragma once

#include "persistence/AtomicFileWriter.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace nerim {

struct PanesSnapshot;

// The changes saved since panes.json was last written whole, kept beside it
// (as panes-changes.log) so that a save writes what changed, not every
// transcript again. The log names the panes.json it amends by the file's
// identity (device, inode, size, modification and change time): once that
// file is replaced or changed, the log says nothing.
//
// The log is a sequence of frames, each "<length> <crc>\n<body>\n": the body's
// length in decimal, its CRC-32 as eight lower-case hex digits. The first
// frame's body is the header, compact JSON {"panesFile":{…},"version":1} (the
// identity as PanesViewFile writes it). Every other frame is one save, a
// record: a line {"kept":[[K,T],…]} and, after it, a document in the form of
// panes.json (same encoder, same keys) holding the root values whole and the
// panes in their order, each with its small values whole but only the lines
// and closed turns added after the first K lines and T turns that the pane of
// its id held before the record (in panes.json, or as the records before left
// it). A pane the record does not list is gone.
//
// Reading stops at the first frame that is torn, fails its check, or does not
// decode or apply (a pane to keep that is not there, more lines or turns kept
// than it holds): the records before it count, none after it.
namespace panesChangeLog {

inline constexpr int currentVersion = 1;
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
// The header frame naming the panes file.
QByteArray encodeHeader(const AtomicFileWriter::FileIdentity &panesFile);

// The framed record that takes the panes as `from` holds them to `to`, or
// nothing when it would take more than `limit` bytes. Lines shared with
// `from` are kept when both transcripts share their storage (a transcript
// only grows), closed turns while they are equal.
std::optional<QByteArray> encodeRecord(const PanesSnapshot &from, const PanesSnapshot &to, qint64 limit);

// Applies a record's body to `snapshot` whole or not at all. A kept
// transcript grows in its own storage when it can, so where the lines read
// from panes.json lie still describes its first lines. Throws
// JsonDecodingError or std::runtime_error for a record that cannot be applied.
void applyRecord(PanesSnapshot &snapshot, const QByteArray &body);

// A log file as the writer left it (or the reader found it): which file, and
// where its last good record ends.
struct LogFile {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    friend bool operator==(const LogFile &, const LogFile &) = default;
};

struct ReadOutcome {
    // How many records were applied.
    int applied = 0;
    // A record that could not be applied ended the log early: the next save
    // writes panes.json whole (and so removes the log). `why` says what was
    // wrong with it.
    bool fault = false;
    QString why;
    // The log, when it was written for the panes file and read to its end
    // without a fault: the next save may append to it.
    std::optional<LogFile> log;
};

// Applies the log at `logPath` to `snapshot` (the content of the panes file
// whose identity, as it was read, is `panesFile`). A missing log, one written
// for another file, a link or anything but a regular file, or an unreadable
// header changes nothing (a log line says why, except for a missing log).
// Never throws.
ReadOutcome applyLog(PanesSnapshot &snapshot, const QString &logPath, const AtomicFileWriter::FileIdentity &panesFile);

// Appends `record` to the log at `logPath` and makes it durable. `known` is
// the log as written (or read) last for `panesFile`; without one, any file at
// the path is replaced by a new log starting with the header. Returns the log
// after the append, or nothing when the file there is not `known` (it was
// changed or replaced): nothing was written then. Throws MemoryError when the
// write fails; what was appended is then cut off again where possible.
std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const AtomicFileWriter::FileIdentity &panesFile, const QByteArray &record);

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
