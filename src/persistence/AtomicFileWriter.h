#pragma once

#include "persistence/MemoryError.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <exception>
#include <functional>
#include <optional>
#include <span>
#include <sys/types.h>

namespace nerim {

class BeneathFolder;

// Puts a file on disk so that a crash or power loss leaves either the old or the
// new content, never a torn file, and keeps the content before the latest write
// as a backup copy next to it. Stateless; writes of one target must be
// serialised by the caller (they share one temporary name and one backup).
//
// The write never leaves the target path empty: the backup is made by linking
// (or copying) the current target under a temporary name and renaming that onto
// the backup, and the new content then replaces the target in one rename(2).
//
// Nothing is ever written through a symbolic link (the folders may belong to a
// project from anywhere): every file is created exclusively without following a
// link, a link at the target, the backup or a temporary name is replaced by the
// rename rather than written through, modes are set on open descriptors only,
// and only a regular file at the target is kept as the backup.
//
// The steps: a temporary "<target>.tmp-<pid>-<n>" (never shared between two
// processes) is created exclusively and synced; the current
// target is linked to a staging name, which is renamed onto the backup; the
// temporary file is renamed over the target and the folder is synced. Where the
// backup cannot be hard-linked (another filesystem) it is copied; a failed copy
// fails the write and leaves the target as it was. `replace` is the same
// without a backup (agent-names.json, metadata.json, the prompt draft). app.json
// and context.json use a ".bak" backup; every other file "<name>.backup". A
// file that cannot be read is never overwritten before its backup was tried.
// Every call here that changes the disk goes through FileCalls, so tests can
// play a kill at any one of them.
//
// Files in a project: every one is reached beneath the project folder without
// following any link (BeneathFolder). `WriteOptions::beneath` (`inProject`)
// and `readBytes(path, project)` take that way, and the writer then makes its
// temporary file, backup link and renames by name within the folder it opened
// (renameat, linkat) and syncs that descriptor, so a folder swapped for a link
// meanwhile cannot redirect a step. The panes file, its change log, the writer
// lock and the step records open their `.nerim` beneath the project once per
// step and create, append, unlink, set aside and rename there by name (the
// overloads taking a BeneathFolder); a save refused for a link reaches the
// panes as the save-failure line naming it. `ProjectWritesUnderSwapTest` races
// a swapper against all of them. The writers create only a file's own missing
// folder (`makeFolder`, also used for `.nerim` and the plans folder), so a
// project deleted or unmounted while open is never made again by a save or by
// leaving: the write fails with a log line.
namespace AtomicFileWriter {

struct WriteOptions {
    // When set, the new file is created with exactly this mode from its first
    // byte, and the backup gets the same mode (0600 for files holding secrets).
    std::optional<mode_t> mode;
    // Called once the new content is on disk, before anything at the target
    // or the backup changes; what it throws abandons the write (the target
    // untouched, no temporary file left) and is thrown on.
    std::function<void()> beforeReplacing = {};
    // The project folder the file lies in, when it does: every folder from it
    // to the file is then opened beneath it without following a link (see
    // BeneathFolder), and a path that needs one is refused (writeFailed
    // saying which link). Empty for Nerim's own files outside any project.
    QString beneath = {};
    // False: the new file takes the target's name only when nothing is
    // there (a fresh set-aside copy); a file found there fails the write
    // (atomicRenameFailed, "File exists") and is left as it is.
    bool replaceExisting = true;
};

// The options for a file of the project folder `projectPath`.
inline WriteOptions inProject(const QString &projectPath, std::optional<mode_t> mode = std::nullopt)
{
    WriteOptions options;
    options.mode = mode;
    options.beneath = projectPath;
    return options;
}

// Writes `bytes` to `targetPath` through a temporary file and moves the previous
// content to `backupPath` (when the target is a regular file; anything else in
// its place is replaced without a backup). Throws MemoryError (writeFailed or
// atomicRenameFailed); the target is then untouched and no temporary file is left.
void write(const QByteArray &bytes, const QString &targetPath, const QString &backupPath, WriteOptions options = {});
// The same with the content given as pieces written one after another, so a
// large document need not be joined into one buffer first.
void write(std::span<const QByteArray> pieces, const QString &targetPath, const QString &backupPath,
           WriteOptions options = {});

// A file as the file system knows it: the same identity means the same file,
// unchanged since. The change time is part of it: a file rewritten in place
// with its modification time put back (by a copy tool or `touch -d`) still has
// a new change time, which no one but the kernel can set.
struct FileIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;

    // The regular file open at `fd`, or at `path` (not through a link).
    static std::optional<FileIdentity> of(int fd);
    static std::optional<FileIdentity> of(const QString &path);
    // The regular file `name` in the folder open at `dirFd` (not through a link).
    static std::optional<FileIdentity> of(int dirFd, const QString &name);
    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};

// Where a streamed write puts the new content, in the order given.
class ContentSink {
public:
    virtual ~ContentSink() = default;
    // Writes the bytes straight through: give it pieces of some size.
    virtual void write(QByteArrayView bytes) = 0;
    // Appends `length` bytes of the file open at `fd`, from `offset` on,
    // copied by the kernel where it can. Throws MemoryError when they cannot
    // all be read.
    virtual void copyFrom(int fd, qint64 offset, qint64 length) = 0;
    // Bytes put so far.
    virtual qint64 position() const = 0;
};

// The same with the content made while it is written: `produce` puts it into
// the sink, so no more of it need be in memory at once than it chooses.
// Whatever `produce` throws is thrown on, with the target untouched and no
// temporary file left. Returns the identity of the new file, taken once it is
// in place (renaming a file changes its change time).
FileIdentity write(const std::function<void(ContentSink &)> &produce, const QString &targetPath,
                   const QString &backupPath, WriteOptions options = {});

// The same crash-safe replacement for the files that keep no backup copy.
void replace(const QByteArray &bytes, const QString &targetPath, WriteOptions options = {});

// The same within a folder already open beneath its project: the temporary
// file, the backup and the renames are all made by name in `folder`, so the
// file written is the one in the folder the caller opened (and read),
// whatever is swapped on the way to it meanwhile. `options.beneath` is unused.
void write(const QByteArray &bytes, const BeneathFolder &folder, const QString &name, const QString &backupName,
           WriteOptions options = {});
void replace(const QByteArray &bytes, const BeneathFolder &folder, const QString &name, WriteOptions options = {});
// The streamed write within an open folder; an empty `backupName` keeps no backup.
FileIdentity write(const std::function<void(ContentSink &)> &produce, const BeneathFolder &folder,
                   const QString &name, const QString &backupName, WriteOptions options = {});

// Creates `folder` when it is missing and its parent exists; never creates the
// parent. The writers create a missing data folder this way, so a project
// folder that was deleted or unmounted is never made again by a save.
// Returns whether the folder exists afterwards.
bool makeFolder(const QString &folder);

template <typename T>
struct ReadResult {
    T value;
    // Set when the value came from the backup: why the primary was unusable.
    std::optional<QString> primaryReason;

    bool isRestoredFromBackup() const { return primaryReason.has_value(); }
};

// Describes a decoder's failure for the read result (JsonDecodingError and
// MemoryError have their own description; anything else its what()).
QString describeFailure(std::exception_ptr error);

// Reads the file's bytes; returns nothing when no file exists at the path.
// Throws std::runtime_error (RegularFile::ReadError) with the reason when it
// exists but cannot be read, and when it is a symbolic link (the writer
// replaces links, so a link there was not made by it), not a regular file or
// larger than RegularFile::maxReadBytes.
// Given `beneath` (the project folder holding the file), the file is reached
// beneath it without following any link, and a way that needs one is refused.
std::optional<QByteArray> readBytes(const QString &path, const QString &beneath = {});

// Reads `primaryPath`, falling back to `backupPath` when the primary is missing
// or cannot be decoded. `decode` throws on bad content. Changes no file.
// Throws MemoryError::bothPrimaryAndBackupUnreadable when neither yields a value.
template <typename T>
ReadResult<T> read(const QString &primaryPath, const QString &backupPath,
                   const std::function<T(const QByteArray &)> &decode, const QString &beneath = {})
{
    QString primaryReason;
    try {
        if (auto bytes = readBytes(primaryPath, beneath))
            return ReadResult<T>{decode(*bytes), std::nullopt};
        primaryReason = QStringLiteral("file does not exist");
    } catch (...) {
        primaryReason = describeFailure(std::current_exception());
    }
    QString backupReason;
    try {
        if (auto bytes = readBytes(backupPath, beneath))
            return ReadResult<T>{decode(*bytes), primaryReason};
        backupReason = QStringLiteral("backup file does not exist");
    } catch (...) {
        backupReason = describeFailure(std::current_exception());
    }
    throw MemoryError::bothPrimaryAndBackupUnreadable(primaryPath, primaryReason, backupReason);
}

// "<path>.backup": the backup name every file except app.json and context.json uses.
inline QString backupPathFor(const QString &targetPath) { return targetPath + QStringLiteral(".backup"); }

namespace detail {
// The two calls behind the backup copy, replaceable so that tests can make
// them fail: the hard link of the current file and, where linking is refused
// (another filesystem), the read for the copy.
struct BackupCalls {
    int (*link)(int fromDir, const char *from, int toDir, const char *to);
    std::optional<QByteArray> (*readCurrent)(int dirFd, const QString &name);
};
BackupCalls &backupCalls();
} // namespace detail

} // namespace AtomicFileWriter
} // namespace nerim
