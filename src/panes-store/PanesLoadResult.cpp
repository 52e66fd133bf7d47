#include "panes-store/PanesLoadResult.h"

#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesFastReader.h"
#include "panes-store/PanesFileLayout.h"
#include "panes-store/PanesViewFile.h"
#include "foundation/Json.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QScopeGuard>
#include <unistd.h>

namespace nerim {

namespace {

// The version of a document, when it has an integer "version" (one out of
// range is no version: the strict reader then reports it).
std::optional<qint64> documentVersion(const QJsonObject &root)
{
    const QJsonValue version = root.value(QLatin1StringView("version"));
    if (!version.isDouble())
        return std::nullopt;
    return json::exactInteger<qint64>(version.toDouble());
}

PanesSnapshot decodeCurrentVersion(const QJsonObject &root)
{
    PanesSnapshot snapshot = PanesSnapshot::fromJson(root);
    if (snapshot.version != PanesSnapshot::currentVersion)
        throw JsonDecodingError(QStringLiteral("version"), QStringLiteral("unknown version %1").arg(snapshot.version));
    return snapshot;
}

} // namespace

namespace {

// What one panes file (the primary or its backup) holds.
struct PanesFileContent {
    bool exists = false;
    // The file's version, when it has one; the snapshot only when it is the current one.
    std::optional<qint64> version;
    std::optional<PanesSnapshot> snapshot;
    std::shared_ptr<PanesFileLayout> layout;
    // The file's identity when it stayed the same from before the read to
    // after it, taken from the descriptor read (and matching the path).
    std::optional<AtomicFileWriter::FileIdentity> identity;
};

// Reads one panes file: in pieces by the quick reader, which takes the files
// this program writes at any size; anything it does not take plainly (a file
// edited by hand or written by another version) goes through the strict
// reader, which reports the fault with its key path. That one holds the
// document whole, so it reads only files up to RegularFile::maxReadBytes.
// Throws when the file exists but cannot be read or decoded.
PanesFileContent readOnePanesFile(const QString &path, bool wantLayout)
{
    PanesFileContent content;
    int fd = -1;
    // Reached beneath the project: a link on the way is refused, not followed.
    const std::optional<panesChangeLog::Place> place = panesChangeLog::placeOf(path);
    if (place)
        fd = RegularFile::openAt(place->folder.fd(), place->name);
    if (fd < 0)
        return content; // nothing saved yet
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    content.exists = true;
    // The file's identity before and after reading: when both agree, the
    // bytes read are the file's, and where its parts lie is worth keeping for
    // the first save.
    const std::optional<AtomicFileWriter::FileIdentity> before = AtomicFileWriter::FileIdentity::of(fd);
    auto layout = wantLayout ? std::make_shared<PanesFileLayout>() : nullptr;
    const auto unchanged = [&] {
        return before && before == AtomicFileWriter::FileIdentity::of(fd) &&
               before == panesChangeLog::identityAt(path);
    };
    content.snapshot = readPanesQuickly(fd, layout.get());
    if (content.snapshot) {
        content.version = content.snapshot->version;
        if (unchanged()) {
            content.identity = before;
            if (layout) {
                layout->file = *before;
                content.layout = std::move(layout);
            }
        }
        if (*content.version != PanesSnapshot::currentVersion)
            content.snapshot.reset();
        return content;
    }
    if (before && before->size > RegularFile::maxReadBytes)
        throw RegularFile::ReadError("it is larger than 64 MiB and not in the form Nerim writes");
    const std::optional<QByteArray> bytes = RegularFile::readAt(place->folder.fd(), place->name);
    if (!bytes)
        throw RegularFile::ReadError("it was removed while it was read");
    // Read again by name: the same file only when the one open (whose
    // identity covers its bytes) is still the file at the path, unchanged.
    if (unchanged())
        content.identity = before;
    const QJsonObject root = JsonObjectReader::parse(*bytes).raw();
    content.version = documentVersion(root);
    // A file of another version is left alone before its content is judged:
    // a later format need not decode as this one.
    if (!content.version || *content.version == PanesSnapshot::currentVersion)
        content.snapshot = decodeCurrentVersion(root);
    return content;
}

void applyChangeLog(PanesLoadResult &result, PanesSnapshot &snapshot, const QString &path,
                    const std::optional<AtomicFileWriter::FileIdentity> &identity)
{
    result.changeLogRead = panesChangeLog::applyLog(snapshot, panesChangeLog::pathFor(path), identity);
    result.changeLog = result.changeLogRead.log;
    result.changeLogFault = result.changeLogRead.fault;
    result.changeLogFaultReason = result.changeLogRead.why;
}

} // namespace

PanesLoadResult readPanesFile(const QString &path)
{
    PanesLoadResult result;
    std::optional<PanesSnapshot> snapshot;
    try {
        PanesFileContent primary = readOnePanesFile(path, true);
        if (!primary.exists)
            return result;
        if (primary.version && *primary.version != PanesSnapshot::currentVersion) {
            logLine(QStringLiteral("[Nerim panes] load: unknown version %1 (expected %2), ignoring")
                        .arg(*primary.version)
                        .arg(PanesSnapshot::currentVersion));
            result.unknownVersion = true;
            return result;
        }
        snapshot = std::move(primary.snapshot);
        if (snapshot) {
            // The focused and expanded pane an earlier version saved beside
            // the file, when saved for exactly this file (and so naming its
            // panes); then the changes saved since the file was written whole.
            if (primary.identity)
                if (const std::optional<PanesViewFile> view = PanesViewFile::read(PanesViewFile::pathFor(path)))
                    view->applyTo(*snapshot, *primary.identity);
            applyChangeLog(result, *snapshot, path, primary.identity);
        }
        if (snapshot && primary.layout) {
            result.layout = std::move(primary.layout);
            result.fileContent = snapshot;
        }
    } catch (...) {
        result.failure = AtomicFileWriter::describeFailure(std::current_exception());
    }

    if (result.failure) {
        try {
            PanesFileContent backup = readOnePanesFile(AtomicFileWriter::backupPathFor(path), false);
            if (backup.exists) {
                if (!backup.snapshot)
                    throw JsonDecodingError(QStringLiteral("version"),
                                            QStringLiteral("unknown version %1").arg(backup.version.value_or(0)));
                snapshot = std::move(backup.snapshot);
                result.restoredFromBackup = true;
                // A log written for the backup (a crash came before the file
                // that replaced it took its changes) still applies to it.
                applyChangeLog(result, *snapshot, path, std::nullopt);
            }
        } catch (...) {
            // The backup is no better; the primary's failure is the one reported.
        }
        if (result.restoredFromBackup)
            logLine(QStringLiteral("[Nerim panes] load failed: %1; restored panes.json from its backup")
                        .arg(*result.failure));
        else
            logLine(QStringLiteral("[Nerim panes] load failed: %1").arg(*result.failure));
    }
    if (!snapshot)
        return result;

    // Never hand out a next number that a restored pane already carries.
    for (const PaneDiskSnapshot &pane : snapshot->panes)
        snapshot->nextAgentNumber = std::max<qint64>(snapshot->nextAgentNumber, qint64(pane.paneNumber) + 1);
    result.snapshot = std::move(snapshot);
    return result;
}

std::optional<PanesSnapshot> loadPanesSnapshot(const QString &path) { return readPanesFile(path).snapshot; }

} // namespace nerim
