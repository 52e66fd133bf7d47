#include "agents/PanesChangeLog.h"

#include "agents/PanesEncoding.h"
#include "agents/PanesFastReader.h"
#include "agents/PanesSnapshot.h"
#include "agents/PanesViewFile.h"
#include "foundation/FileIo.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/MemoryError.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QScopeGuard>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim::panesChangeLog {

namespace {

// The CRC-32 of zlib and PNG (reflected polynomial 0xEDB88320).
quint32 crc32(QByteArrayView bytes)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (const char byte : bytes)
        c = table[(c ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

// A frame line is at most "<19 digits> <8 hex digits>\n".
constexpr qsizetype maxFrameLine = 19 + 1 + 8 + 1;
// Far more than a header ever holds (under 300 bytes).
constexpr qint64 maxHeaderBytes = 64 * 1024;

QString fileName(const QString &path) { return QFileInfo(path).fileName(); }

// A pane of a snapshot by its id, when exactly one pane carries it.
QHash<QUuid, qsizetype> uniquePanes(const PanesSnapshot &snapshot)
{
    QHash<QUuid, qsizetype> index;
    for (qsizetype i = 0; i < snapshot.panes.size(); ++i) {
        const auto found = index.find(snapshot.panes.at(i).id);
        if (found == index.end())
            index.insert(snapshot.panes.at(i).id, i);
        else
            *found = -1;
    }
    return index;
}

struct Kept {
    qsizetype lines = 0;
    qsizetype turns = 0;
};

// What a record may keep of `before` for `after`, a pane of the same id.
Kept keptOf(const PaneDiskSnapshot &before, const PaneDiskSnapshot &after)
{
    // A pane's generation changes with everything the file keeps of it.
    if (before.generation != 0 && before.generation == after.generation)
        return {before.outputLines.size(), before.conversation.size()};
    Kept kept;
    // Lists that share their storage agree on every line both have.
    if (before.outputLines.sharesStorageWith(after.outputLines))
        kept.lines = std::min(before.outputLines.size(), after.outputLines.size());
    const qsizetype turns = std::min(before.conversation.size(), after.conversation.size());
    while (kept.turns < turns && before.conversation.at(kept.turns) == after.conversation.at(kept.turns))
        ++kept.turns;
    return kept;
}

// A frame read from `fd` at `offset`, within the file's first `end` bytes:
// its body and where the next frame starts, or nothing when it is torn,
// malformed, longer than `maxBody` or fails its check.
struct Frame {
    QByteArray body;
    qint64 next = 0;
};

std::optional<Frame> readFrame(int fd, qint64 offset, qint64 end, qint64 maxBody, QString &why)
{
    char line[maxFrameLine];
    const qint64 lineRead = std::min<qint64>(maxFrameLine, end - offset);
    if (lineRead <= 0 || !fileio::preadAll(fd, line, lineRead, offset)) {
        why = QStringLiteral("it is cut short");
        return std::nullopt;
    }
    // "<length> <crc>\n", exactly: decimal digits without a leading zero, a
    // space, eight lower-case hex digits.
    qsizetype i = 0;
    qint64 length = 0;
    while (i < lineRead && line[i] >= '0' && line[i] <= '9' && i < 19) {
        length = length * 10 + (line[i] - '0');
        ++i;
    }
    const bool digits = i > 0 && !(line[0] == '0' && i > 1);
    if (!digits || i + 10 > lineRead || line[i] != ' ' || line[i + 9] != '\n') {
        why = lineRead < maxFrameLine ? QStringLiteral("it is cut short") : QStringLiteral("its frame is damaged");
        return std::nullopt;
    }
    quint32 crc = 0;
    for (qsizetype h = i + 1; h < i + 9; ++h) {
        const char c = line[h];
        const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) {
            why = QStringLiteral("its frame is damaged");
            return std::nullopt;
        }
        crc = (crc << 4) | quint32(v);
    }
    if (length > maxBody) {
        why = QStringLiteral("it is larger than a record may be");
        return std::nullopt;
    }
    const qint64 bodyStart = offset + i + 10;
    if (bodyStart + length + 1 > end) {
        why = QStringLiteral("it is cut short");
        return std::nullopt;
    }
    Frame frame;
    frame.body.resize(qsizetype(length) + 1);
    if (!fileio::preadAll(fd, frame.body.data(), length + 1, bodyStart)) {
        why = QStringLiteral("it could not be read");
        return std::nullopt;
    }
    if (frame.body.back() != '\n') {
        why = QStringLiteral("its frame is damaged");
        return std::nullopt;
    }
    frame.body.chop(1);
    if (crc32(frame.body) != crc) {
        why = QStringLiteral("it fails its check");
        return std::nullopt;
    }
    frame.next = bodyStart + length + 1;
    return frame;
}

AtomicFileWriter::FileIdentity decodeHeader(const QByteArray &body)
{
    const JsonObjectReader root = JsonObjectReader::parse(body);
    if (root.int32(QStringLiteral("version")) != currentVersion)
        root.value(QStringLiteral("version")).fail(QStringLiteral("unknown version"));
    return panesFileIdentityFromJson(root.object(QStringLiteral("panesFile")));
}

} // namespace

QString pathFor(const QString &panesPath) { return besidePanesFile(panesPath, u"-changes.log"); }

QByteArray frame(const QByteArray &body)
{
    QByteArray out;
    out.reserve(body.size() + maxFrameLine + 1);
    out.append(QByteArray::number(body.size()));
    out.append(' ');
    out.append(QByteArray::number(crc32(body), 16).rightJustified(8, '0'));
    out.append('\n');
    out.append(body);
    out.append('\n');
    return out;
}

QByteArray encodeHeader(const AtomicFileWriter::FileIdentity &panesFile)
{
    QJsonObject root;
    root.insert(QStringLiteral("version"), currentVersion);
    root.insert(QStringLiteral("panesFile"), panesFileIdentityToJson(panesFile));
    return frame(json::encodeCompact(root));
}

std::optional<QByteArray> encodeRecord(const PanesSnapshot &from, const PanesSnapshot &to, qint64 limit)
{
    const QHash<QUuid, qsizetype> before = uniquePanes(from);
    QList<Kept> kept;
    kept.reserve(to.panes.size());
    QByteArray body("{\"kept\":[");
    for (qsizetype p = 0; p < to.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = to.panes.at(p);
        const qsizetype at = before.value(pane.id, -1);
        kept.append(at >= 0 ? keptOf(from.panes.at(at), pane) : Kept{});
        if (p > 0)
            body.append(',');
        body.append('[');
        panesEncoding::appendInteger(body, kept.last().lines);
        body.append(',');
        panesEncoding::appendInteger(body, kept.last().turns);
        body.append(']');
    }
    body.append("]}\n");

    // The same pieces panes.json is made of, with only what is new.
    const qint64 frameOverhead = maxFrameLine + 1;
    const auto tooLarge = [&] { return body.size() + frameOverhead > limit; };
    panesEncoding::appendDocumentOpening(body, to);
    for (qsizetype p = 0; p < to.panes.size(); ++p) {
        const PaneDiskSnapshot &pane = to.panes.at(p);
        if (p > 0)
            body.append(',');
        panesEncoding::appendPaneOpening(body, pane);
        for (qsizetype t = kept.at(p).turns; t < pane.conversation.size(); ++t) {
            if (t > kept.at(p).turns)
                body.append(',');
            panesEncoding::appendTurn(body, pane.conversation.at(t));
            if (tooLarge())
                return std::nullopt;
        }
        panesEncoding::appendPaneMiddle(body, pane);
        for (qsizetype i = kept.at(p).lines; i < pane.outputLines.size(); ++i) {
            if (i > kept.at(p).lines)
                body.append(',');
            panesEncoding::appendOutputLine(body, pane.outputLines, i);
            if (tooLarge())
                return std::nullopt;
        }
        panesEncoding::appendPaneClosing(body, pane);
    }
    panesEncoding::appendDocumentClosing(body, to);
    if (tooLarge())
        return std::nullopt;
    return frame(body);
}

void applyRecord(PanesSnapshot &snapshot, const QByteArray &body)
{
    const qsizetype newline = body.indexOf('\n');
    if (newline < 0)
        throw JsonDecodingError(QString(), QStringLiteral("the record has no list of what it keeps"));
    const JsonObjectReader keptReader = JsonObjectReader::parse(body.left(newline));
    QList<Kept> kept;
    for (const JsonValueReader &entry : keptReader.array(QStringLiteral("kept"))) {
        const QList<JsonValueReader> pair = entry.toArray();
        if (pair.size() != 2)
            entry.fail(QStringLiteral("expected the lines and turns kept"));
        const qint64 lines = pair.at(0).toInt64();
        const qint64 turns = pair.at(1).toInt64();
        if (lines < 0 || turns < 0)
            entry.fail(QStringLiteral("a negative count"));
        kept.append({qsizetype(lines), qsizetype(turns)});
    }
    const QByteArray documentBytes = body.mid(newline + 1);
    std::optional<PanesSnapshot> document = readPanesQuickly(documentBytes);
    if (!document)
        document = PanesSnapshot::fromJson(JsonObjectReader::parse(documentBytes).raw());
    if (document->version != PanesSnapshot::currentVersion)
        throw JsonDecodingError(QStringLiteral("version"), QStringLiteral("unknown version %1").arg(document->version));
    if (kept.size() != document->panes.size())
        throw JsonDecodingError(QStringLiteral("kept"), QStringLiteral("not one entry per pane"));

    const QHash<QUuid, qsizetype> before = uniquePanes(snapshot);
    QList<PaneDiskSnapshot> panes;
    panes.reserve(document->panes.size());
    for (qsizetype p = 0; p < document->panes.size(); ++p) {
        PaneDiskSnapshot pane = std::move((*document).panes[p]);
        const Kept keep = kept.at(p);
        if (keep.lines > 0 || keep.turns > 0) {
            const qsizetype at = before.value(pane.id, -1);
            if (at < 0)
                throw std::runtime_error("it keeps a pane that is not there");
            const PaneDiskSnapshot &old = snapshot.panes.at(at);
            if (keep.lines > old.outputLines.size() || keep.turns > old.conversation.size())
                throw std::runtime_error("it keeps more of a pane than the pane holds");
            if (keep.lines > 0) {
                // Grows the kept transcript in its own storage where it can.
                OutputLines lines =
                    keep.lines == old.outputLines.size() ? old.outputLines : old.outputLines.mid(0, keep.lines);
                for (qsizetype i = 0; i < pane.outputLines.size(); ++i)
                    lines.appendLineOf(pane.outputLines, i);
                pane.outputLines = std::move(lines);
            }
            if (keep.turns > 0)
                pane.conversation = old.conversation.mid(0, keep.turns) + pane.conversation;
        }
        panes.append(std::move(pane));
    }
    snapshot.version = document->version;
    snapshot.nextAgentNumber = document->nextAgentNumber;
    snapshot.focusedPaneId = document->focusedPaneId;
    snapshot.expandedPaneId = document->expandedPaneId;
    snapshot.panes = std::move(panes);
}

ReadOutcome applyLog(PanesSnapshot &snapshot, const QString &logPath, const AtomicFileWriter::FileIdentity &panesFile)
{
    ReadOutcome outcome;
    const QString name = fileName(logPath);
    int fd = -1;
    try {
        // A link in its place is refused: the writer replaces links, so one there is not its own.
        fd = RegularFile::open(logPath);
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
    QString why;
    const std::optional<Frame> header = readFrame(fd, 0, end, maxHeaderBytes, why);
    std::optional<AtomicFileWriter::FileIdentity> named;
    try {
        if (header)
            named = decodeHeader(header->body);
    } catch (...) {
        why = AtomicFileWriter::describeFailure(std::current_exception());
    }
    if (!named) {
        logLine(QStringLiteral("[Nerim panes] ignored %1: its header cannot be read (%2)").arg(name, why));
        return outcome;
    }
    if (*named != panesFile) {
        logLine(QStringLiteral("[Nerim panes] ignored %1: it was written for another panes file").arg(name));
        return outcome;
    }
    qint64 offset = header->next;
    while (offset < end) {
        std::optional<Frame> record = readFrame(fd, offset, end, maxRecordBytes, why);
        if (record) {
            try {
                applyRecord(snapshot, record->body);
                ++outcome.applied;
                offset = record->next;
                continue;
            } catch (...) {
                why = AtomicFileWriter::describeFailure(std::current_exception());
            }
        }
        outcome.fault = true;
        outcome.why = why;
        logLine(QStringLiteral("[Nerim panes] %1: change %2 cannot be applied (%3); the %4 before it were applied, "
                               "nothing after it")
                    .arg(name)
                    .arg(outcome.applied + 1)
                    .arg(why)
                    .arg(outcome.applied));
        return outcome;
    }
    outcome.log = LogFile{quint64(st.st_dev), quint64(st.st_ino), end};
    return outcome;
}

std::optional<LogFile> appendRecord(const QString &logPath, const std::optional<LogFile> &known,
                                    const AtomicFileWriter::FileIdentity &panesFile, const QByteArray &record)
{
    const QByteArray native = QFile::encodeName(logPath);
    const auto failure = [&](int error) {
        return MemoryError::writeFailed(logPath, QString::fromLocal8Bit(std::strerror(error)));
    };
    int fd = -1;
    if (known) {
        // Appends only to the log as it was left: never through a link,
        // never to a file put in its place or changed since.
        fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return std::nullopt;
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || quint64(st.st_dev) != known->device ||
            quint64(st.st_ino) != known->inode || st.st_size != known->size) {
            ::close(fd);
            return std::nullopt;
        }
    } else {
        // Whatever is there (a stale log, a link) goes; unlink never follows a link.
        if (::unlink(native.constData()) != 0 && errno != ENOENT)
            throw failure(errno);
        fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0)
            throw failure(errno);
    }
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    const qint64 start = known ? known->size : 0;
    const QByteArray header = known ? QByteArray() : encodeHeader(panesFile);
    if (!fileio::writeAll(fd, header.constData(), header.size()) || !fileio::writeAll(fd, record.constData(), record.size()) ||
        ::fdatasync(fd) != 0) {
        const int error = errno;
        // What was appended of the record would end the log when read: cut it off.
        if (::ftruncate(fd, start) == 0)
            ::fdatasync(fd);
        throw failure(error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        throw failure(errno);
    if (!known)
        fileio::syncFolderOf(logPath); // the new log's name must survive a crash too
    return LogFile{quint64(st.st_dev), quint64(st.st_ino), qint64(st.st_size)};
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
