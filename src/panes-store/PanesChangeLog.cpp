#include "panes-store/PanesChangeLog.h"

#include "panes-store/PanesSideFiles.h"
#include "panes-store/PanesSnapshot.h"
#include "foundation/FileIo.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/FileCalls.h"
#include "persistence/MemoryError.h"
#include "persistence/SetAside.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::panesChangeLog {

namespace {

QString fileName(const QString &path) { return QFileInfo(path).fileName(); }

} // namespace

QString pathFor(const QString &panesPath) { return besidePanesFile(panesPath, u"-changes.log"); }

ReadOutcome applyLog(PanesSnapshot &snapshot, const QString &logPath,
                     const std::optional<AtomicFileWriter::FileIdentity> &panesFile)
{
    ReadOutcome outcome;
    const QString name = fileName(logPath);
    int fd = -1;
    try {
        // A link in its place is refused: the writer replaces links, so one there is not its own.
        if (const std::optional<Place> place = placeOf(logPath))
            fd = RegularFile::openAt(place->folder.fd(), place->name);
    } catch (...) {
        logLine(QStringLiteral("[Nerim panes] ignored %1: %2")
                    .arg(name, AtomicFileWriter::describeFailure(std::current_exception())));
        return outcome;
    }
    if (fd < 0)
        return outcome;
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        logLine(QStringLiteral("[Nerim panes] ignored %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));
        return outcome;
    }
    const qint64 end = st.st_size;
    outcome.end = end;
    if (end == 0)
        return outcome; // made, and cut back to nothing by a failed first append: it never held a change

    // Which file the log amends: the header says, or, when it cannot be read,
    // the records do.
    QString why;
    qint64 bodyStart = -1;
    const std::optional<Frame> header = readFrame(fd, 0, end, maxHeaderBytes, why, &bodyStart);
    std::optional<Named> named;
    try {
        if (header)
            named = decodeHeader(header->body);
    } catch (...) {
        why = AtomicFileWriter::describeFailure(std::current_exception());
    }
    std::optional<QUuid> owner;
    bool ours = false;
    if (named) {
        outcome.recordsStart = header->next;
        if (named->document) {
            owner = named->document;
            ours = snapshot.documentId == named->document;
        } else {
            outcome.legacy = true;
            // A log of the earlier form names panes.json by where and when it
            // was written. Copies, moves, links, chmod and chown change where
            // it lies and its change time, but keep its size and modification
            // time to the nanosecond: those two alone tell it is the same file.
            ours = panesFile && named->file->size == panesFile->size &&
                   named->file->modifiedNs == panesFile->modifiedNs;
        }
    } else {
        const std::optional<qint64> start = firstFrameAfterDamage(fd, end);
        if (!start) {
            if (!header && why == QStringLiteral("it is cut short")) {
                // Torn in its first frame: the first save was cut short before any change was on disk.
                logLine(QStringLiteral("[Nerim panes] ignored %1: it ends inside its header").arg(name));
                return outcome;
            }
            outcome.kind = ReadOutcome::Kind::unreadable;
            outcome.why = QStringLiteral("its header cannot be read (%1)").arg(why);
            logLine(QStringLiteral("[Nerim panes] %1: %2, and no change after it").arg(name, outcome.why));
            return outcome;
        }
        outcome.headerDamaged = true;
        outcome.recordsStart = *start;
        logLine(QStringLiteral("[Nerim panes] %1: its header cannot be read (%2); its changes are read by the file "
                               "they name")
                    .arg(name, why));
        QString skip;
        for (qint64 at = *start; at < end && !owner;) {
            const std::optional<Frame> next = readFrame(fd, at, end, maxRecordBytes, skip);
            if (!next)
                break;
            if (!isFoldMarker(next->body))
                owner = recordDocument(next->body);
            at = next->next;
            if (!owner && !isFoldMarker(next->body))
                break;
        }
        if (!owner) {
            outcome.kind = ReadOutcome::Kind::unreadable;
            outcome.why = QStringLiteral("its header cannot be read (%1)").arg(why);
            return outcome;
        }
        ours = snapshot.documentId == owner;
    }

    if (!ours) {
        // Either folded into this file (a crash came between the whole write
        // and the log's removal), or written for another one.
        for (qint64 at = outcome.recordsStart; at < end && snapshot.documentId;) {
            QString skip;
            const std::optional<Frame> next = readFrame(fd, at, end, maxRecordBytes, skip);
            if (!next)
                break;
            if (isFoldMarker(next->body) && foldedInto(next->body) == snapshot.documentId) {
                outcome.kind = ReadOutcome::Kind::superseded;
                logLine(QStringLiteral("[Nerim panes] %1 was folded into the panes file already").arg(name));
                return outcome;
            }
            at = next->next;
        }
        outcome.kind = ReadOutcome::Kind::other;
        logLine(QStringLiteral("[Nerim panes] not applied %1: it was written for another panes file").arg(name));
        return outcome;
    }

    outcome.kind = ReadOutcome::Kind::ours;
    qint64 offset = outcome.recordsStart;
    outcome.goodEnd = offset;
    const std::optional<QUuid> required = outcome.legacy ? std::nullopt : snapshot.documentId;
    while (offset < end) {
        bodyStart = -1;
        std::optional<Frame> record = readFrame(fd, offset, end, maxRecordBytes, why, &bodyStart);
        if (record) {
            try {
                if (!isFoldMarker(record->body)) {
                    applyRecord(snapshot, record->body, required);
                    ++outcome.applied;
                }
                offset = outcome.goodEnd = record->next;
                continue;
            } catch (...) {
                why = AtomicFileWriter::describeFailure(std::current_exception());
            }
        } else if (bodyStart >= 0 && bodyStart < end) {
            // A fold marker cut short holds no change: the log simply ends before it.
            QByteArray opening(qsizetype(std::min<qint64>(end - bodyStart, foldMarkerOpening.size())),
                               Qt::Uninitialized);
            // (Three bytes tell a marker from a record, whose body opens with {"d.)
            if (opening.size() >= 3 && fileio::preadAll(fd, opening.data(), opening.size(), bodyStart) &&
                QByteArrayView(foldMarkerOpening).startsWith(opening))
                break;
        }
        outcome.fault = true;
        outcome.why = why;
        logLine(QStringLiteral("[Nerim panes] %1: change %2 cannot be applied (%3); the %4 before it were applied, "
                               "nothing after it")
                    .arg(name)
                    .arg(outcome.applied + 1)
                    .arg(why)
                    .arg(outcome.applied));
        break;
    }
    outcome.log = LogFile{quint64(st.st_dev), quint64(st.st_ino), outcome.goodEnd};
    return outcome;
}

namespace {

MemoryError writeFailure(const QString &path, int error)
{
    return MemoryError::writeFailed(path, QString::fromLocal8Bit(std::strerror(error)));
}

// The log open at `fd` (`length` bytes of it count) as a file of its own:
// when another name holds the same file too (a hard-linked copy of the
// project, as snapshot tools make with `cp -al`), a change made in place would
// change that copy as well. The bytes are then written to a fresh file that
// takes this name, and the other name keeps the file as it was. Returns the
// descriptor to change (`fd`, or the fresh file opened with `flags`, `fd`
// closed); throws MemoryError when the copy cannot be made.
int unshared(const Place &place, int fd, qint64 length, int flags)
{
    const QString logPath = place.path();
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw writeFailure(logPath, errno);
    if (st.st_nlink <= 1)
        return fd;
    const int source = openIn(place, O_RDONLY);
    struct stat read {};
    if (source < 0 || ::fstat(source, &read) != 0 || read.st_dev != st.st_dev || read.st_ino != st.st_ino) {
        const int error = source < 0 ? errno : ESTALE;
        if (source >= 0)
            ::close(source);
        throw writeFailure(logPath, error);
    }
    const auto closing = qScopeGuard([source] { ::close(source); });
    AtomicFileWriter::write([&](AtomicFileWriter::ContentSink &sink) { sink.copyFrom(source, 0, length); },
                            place.folder, place.name, QString());
    logLine(QStringLiteral("[Nerim panes] %1 is shared with another name (a linked copy); changes go to a copy of "
                           "its own")
                .arg(place.name));
    const int fresh = openIn(place, flags);
    if (fresh < 0)
        throw writeFailure(logPath, errno);
    ::close(fd);
    return fresh;
}

// Appends `bytes` to the log `known`, or starts a new log with `header` and
// them; see appendRecord.
std::optional<LogFile> appendFrames(const QString &logPath, const std::optional<LogFile> &known,
                                    const QByteArray &header, const QList<QByteArray> &pieces,
                                    std::optional<QString> *keptAside = nullptr)
{
    // The log's folder is opened once, beneath the project: whatever is
    // swapped meanwhile, the log changed is the one in that folder.
    // (A log whose folder is gone is no longer there to append to; a new one
    // cannot be made there.)
    std::optional<Place> found = placeOf(logPath);
    if (!found) {
        if (known)
            return std::nullopt;
        throw writeFailure(logPath, ENOENT);
    }
    const Place &place = *found;
    place.checkWritable();
    const QByteArray native = place.native();
    int fd = -1;
    if (known) {
        // Appends only to the log as it was left: never through a link,
        // never to a file put in its place or changed since.
        fd = openIn(place, O_WRONLY | O_APPEND);
        if (fd < 0)
            return std::nullopt;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || quint64(st.st_dev) != known->device ||
            quint64(st.st_ino) != known->inode || st.st_size != known->size) {
            ::close(fd);
            return std::nullopt;
        }
        try {
            fd = unshared(place, fd, known->size, O_WRONLY | O_APPEND);
        } catch (...) {
            ::close(fd);
            throw;
        }
    } else {
        // A log already there is not this one's to replace: it is kept aside.
        // Anything else there (a link) goes; unlink never follows a link.
        struct stat st {};
        if (::fstatat(place.folder.fd(), native.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISREG(st.st_mode)) {
                const std::optional<QString> aside = setAside(place, u"other");
                if (!aside)
                    throw writeFailure(logPath, EEXIST);
                if (keptAside)
                    *keptAside = aside;
            } else if (fileCalls::unlinkAt(place.folder.fd(), native.constData()) != 0 && errno != ENOENT) {
                throw writeFailure(logPath, errno);
            }
        }
        fd = fileCalls::createAt(place.folder.fd(), native.constData(), O_WRONLY | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                 0666);
        if (fd < 0)
            throw writeFailure(logPath, errno);
    }
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    const qint64 start = known ? known->size : 0;
    const QByteArray head = known ? QByteArray() : header;
    bool written = fileCalls::writeAll(fd, head.constData(), head.size());
    for (qsizetype i = 0; written && i < pieces.size(); ++i)
        written = fileCalls::writeAll(fd, pieces.at(i).constData(), pieces.at(i).size());
    if (!written || fileCalls::fdatasync(fd) != 0) {
        const int error = errno;
        // What was appended would end the log when read: cut it off.
        if (fileCalls::ftruncate(fd, start) == 0)
            fileCalls::fdatasync(fd);
        throw writeFailure(logPath, error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw writeFailure(logPath, errno);
    if (!known)
        fileCalls::syncFolder(place.folder.fd()); // the new log's name must survive a crash too
    return LogFile{quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size)};
}

} // namespace

std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const QUuid &documentId, const QByteArray &record)
{
    return appendFrames(logPath, known, encodeHeader(documentId), {record});
}

std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const QUuid &documentId, const Record &record, std::optional<QString> *keptAside)
{
    return appendFrames(logPath, known, encodeHeader(documentId), record.pieces, keptAside);
}

std::optional<LogFile> appendFoldMarker(const QString &logPath, const LogFile &known, const QUuid &into)
{
    return appendFrames(logPath, known, QByteArray(), {encodeFoldMarker(into)});
}

std::optional<QString> finishFold(const QString &logPath, const std::optional<LogFile> &folded)
{
    const std::optional<Place> place = lookAt(logPath);
    if (!place || place->refusal())
        return std::nullopt;
    const QByteArray native = place->native();
    struct stat st {};
    if (::fstatat(place->folder.fd(), native.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode) ||
        (folded && quint64(st.st_dev) == folded->device && quint64(st.st_ino) == folded->inode)) {
        // The log now in panes.json, or no log at all (a link): gone.
        fileCalls::unlinkAt(place->folder.fd(), native.constData());
        return std::nullopt;
    }
    logLine(QStringLiteral("[Nerim panes] %1 was not read into the panes file written whole").arg(fileName(logPath)));
    return setAside(*place, u"other");
}

CutBack cutToReadable(const QString &logPath, const ReadOutcome &outcome)
{
    CutBack cut;
    if (!outcome.log)
        return cut;
    const std::optional<Place> place = lookAt(logPath);
    if (!place)
        return cut;
    if (const std::optional<QString> why = place->refusal()) {
        cut.why = *why;
        return cut;
    }
    const int fd = openIn(*place, O_RDWR);
    if (fd < 0) {
        cut.why = QString::fromLocal8Bit(std::strerror(errno));
        return cut;
    }
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || quint64(st.st_dev) != outcome.log->device ||
        quint64(st.st_ino) != outcome.log->inode || st.st_size != outcome.end) {
        cut.why = QStringLiteral("it changed since it was read");
        return cut; // no longer the log that was read
    }
    if (outcome.fault) {
        QString aside;
        try {
            // A fresh name, never one made meanwhile: the copy is renamed
            // into place without replacing anything.
            aside = place->folder.filePath(setAside::writeFreshWithin(
                place->folder, QFileInfo(logPath).fileName(), u"unreadable", [&](AtomicFileWriter::ContentSink &sink) {
                    sink.copyFrom(fd, 0, outcome.recordsStart);
                    sink.copyFrom(fd, outcome.goodEnd, outcome.end - outcome.goodEnd);
                }));
        } catch (...) {
            cut.why = AtomicFileWriter::describeFailure(std::current_exception());
            try {
                std::rethrow_exception(std::current_exception());
            } catch (const MemoryError &e) {
                if (!e.underlyingReason().isEmpty())
                    cut.why = e.underlyingReason();
            } catch (...) {
            }
            logLine(QStringLiteral("[Nerim panes] could not keep the unread changes of %1 aside (%2); the log is "
                                   "left as it is")
                        .arg(logPath, cut.why));
            return cut;
        }
        logLine(QStringLiteral("[Nerim panes] kept the unread changes of %1 as %2").arg(logPath, aside));
        cut.aside = aside;
    }
    cut.unreadKept = true;
    // A log that a linked copy of the project shares is not cut in place:
    // what was read of it becomes a file of its own.
    int target = fd;
    const int copy = ::dup(fd);
    try {
        if (copy < 0)
            throw writeFailure(logPath, errno);
        target = unshared(*place, copy, outcome.goodEnd, O_RDWR);
    } catch (...) {
        // unshared leaves the descriptor it was given open when it fails.
        if (copy >= 0)
            ::close(copy);
        cut.why = AtomicFileWriter::describeFailure(std::current_exception());
        logLine(QStringLiteral("[Nerim panes] could not cut %1 back to its last good change (%2)").arg(logPath, cut.why));
        return cut;
    }
    const auto closingTarget = qScopeGuard([&] {
        if (target != fd)
            ::close(target);
    });
    if (fileCalls::ftruncate(target, outcome.goodEnd) != 0 || fileCalls::fdatasync(target) != 0 ||
        ::fstat(target, &st) != 0) {
        cut.why = QString::fromLocal8Bit(std::strerror(errno));
        logLine(QStringLiteral("[Nerim panes] could not cut %1 back to its last good change (%2)").arg(logPath, cut.why));
        return cut;
    }
    cut.log = LogFile{quint64(st.st_dev), quint64(st.st_ino), outcome.goodEnd};
    return cut;
}

namespace detail {
namespace {
std::atomic<int> wholeWrites{0};
}
ScopedWholeWrites::ScopedWholeWrites() { ++wholeWrites; }
ScopedWholeWrites::~ScopedWholeWrites() { --wholeWrites; }
bool ScopedWholeWrites::active() { return wholeWrites.load() > 0; }
namespace {
std::atomic<qint64> foldMinimum{foldMinimumBytes};
}
ScopedFoldMinimum::ScopedFoldMinimum(qint64 bytes) { foldMinimum = bytes; }
ScopedFoldMinimum::~ScopedFoldMinimum() { foldMinimum = foldMinimumBytes; }
qint64 ScopedFoldMinimum::current() { return foldMinimum.load(); }
} // namespace detail

} // namespace nerim::panesChangeLog
