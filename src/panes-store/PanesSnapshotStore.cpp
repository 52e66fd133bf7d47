#include "panes-store/PanesSnapshotStore.h"

#include "panes-store/PanesChangeLog.h"
#include "panes-store/PanesEncoding.h"
#include "panes-store/PanesLoadResult.h"
#include "panes-store/PanesSaver.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/FileCalls.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/MemoryError.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace nerim {

namespace {

// Keeps the file at `path` aside before the saves go on (see PanesSaver::keepFirst).
PanesSaver::KeepFirst keepingAside(const QString &path, QStringView tag)
{
    return [path, tag = tag.toString()](std::optional<panesChangeLog::LogFile> &, bool &) {
        errno = 0;
        if (panesChangeLog::setAside(path, tag) || !panesChangeLog::identityAt(path))
            return; // kept, or no longer there
        const int error = errno;
        throw MemoryError::writeFailed(
            path, QStringLiteral("%1 is in the way and could not be kept aside (%2)")
                      .arg(QFileInfo(path).fileName(),
                           error ? QString::fromLocal8Bit(std::strerror(error)) : QStringLiteral("it could not be moved")));
    };
}

} // namespace

void savePanesSnapshot(const QString &path, PanesSnapshot snapshot)
{
    SerialFileWriter::shared().submit(
        path,
        [path, snapshot = std::move(snapshot)]() mutable {
            try {
                snapshot.documentId = QUuid::createUuid();
                (void)panesEncoding::writeReusing(snapshot, path, nullptr);
            } catch (...) {
                logLine(QStringLiteral("[Nerim panes] save failed: %1")
                            .arg(AtomicFileWriter::describeFailure(std::current_exception())));
            }
        },
        QStringLiteral("[Nerim panes]"));
}

PanesSnapshotStore::PanesSnapshotStore(QString path)
    : m_path(std::move(path)), m_saver(std::make_unique<PanesSaver>(m_path))
{
}

PanesSnapshotStore::~PanesSnapshotStore() = default;

void PanesSnapshotStore::setListener(std::function<void(const PanesSaveEvent &)> listener)
{
    m_saver->setListener(std::move(listener));
}

std::optional<PanesSnapshot> PanesSnapshotStore::load()
{
    PanesLoadResult result = readPanesFile(m_path);
    if (m_readOnly) {
        // Whatever is wrong with the files is for the Nerim that holds the project to settle.
        if (result.failure)
            m_loadNotice = QStringLiteral("[Nerim couldn't read this project's saved panes (%1).]").arg(*result.failure);
        return std::move(result.snapshot);
    }
    m_keepUnknownVersion = result.unknownVersion;
    m_loadNotice.reset();
    QStringList notices;
    // What cannot be kept aside now is kept before the first save writes
    // anything; until then every save fails, is told and is tried again.
    QList<PanesSaver::KeepFirst> keepFirst;
    if (result.failure) {
        const std::optional<QString> aside = panesChangeLog::setAside(m_path, u"unreadable");
        if (!aside)
            keepFirst.append(keepingAside(m_path, u"unreadable"));
        const QString kept = aside ? QStringLiteral("it was kept as %1").arg(QFileInfo(*aside).fileName())
                                   : QStringLiteral("it was left as it is and nothing is saved over it");
        notices.append(result.restoredFromBackup
                           ? QStringLiteral("[Nerim couldn't read this project's saved panes (%1) and restored them "
                                            "from their backup; %2.]")
                                 .arg(*result.failure, kept)
                           : QStringLiteral("[Nerim couldn't read this project's saved panes (%1); %2.]")
                                 .arg(*result.failure, kept));
    }

    // What becomes of the change log: what was read of it stays readable
    // until the next whole write has it, and what was not is kept.
    const panesChangeLog::ReadOutcome &changes = result.changeLogRead;
    const QString logPath = panesChangeLog::pathFor(m_path);
    std::optional<panesChangeLog::LogFile> log;
    bool fold = false;
    using Kind = panesChangeLog::ReadOutcome::Kind;
    switch (changes.kind) {
    case Kind::none: break;
    case Kind::ours: {
        log = changes.log;
        fold = changes.headerDamaged || changes.legacy;
        if (changes.goodEnd >= changes.end)
            break;
        // A fault (or a fold marker cut short) after the last good record.
        const panesChangeLog::CutBack cut = panesChangeLog::cutToReadable(logPath, changes);
        if (!cut.unreadKept) {
            keepFirst.append([logPath, changes](std::optional<panesChangeLog::LogFile> &log, bool &fold) {
                const panesChangeLog::CutBack again = panesChangeLog::cutToReadable(logPath, changes);
                if (!again.unreadKept)
                    throw MemoryError::writeFailed(
                        logPath, QStringLiteral("the changes Nerim couldn't read could not be kept aside (%1)")
                                     .arg(again.why.isEmpty() ? QStringLiteral("unknown reason") : again.why));
                log = again.log;
                fold = fold || !again.log;
            });
        }
        log = cut.log;
        fold = fold || !cut.log;
        if (changes.fault)
            notices.append(
                QStringLiteral("[Nerim couldn't read the last changes saved to this project's panes (%1); the panes "
                               "are shown as of the change before, and %2.]")
                    .arg(changes.why,
                         cut.aside ? QStringLiteral("the changes were kept as %1").arg(QFileInfo(*cut.aside).fileName())
                                   : QStringLiteral("nothing is saved over them")));
        break;
    }
    case Kind::superseded:
        panesChangeLog::removeFile(logPath);
        break;
    case Kind::other:
    case Kind::unreadable: {
        const std::optional<QString> aside =
            panesChangeLog::setAside(logPath, changes.kind == Kind::other ? u"other" : u"unreadable");
        if (!aside)
            keepFirst.append(keepingAside(logPath, changes.kind == Kind::other ? u"other" : u"unreadable"));
        const QString kept = aside ? QStringLiteral("they were kept as %1").arg(QFileInfo(*aside).fileName())
                                   : QStringLiteral("nothing is saved over them");
        notices.append(changes.kind == Kind::other
                           ? QStringLiteral("[Nerim found changes saved for another version of this project's panes "
                                            "(an older copy or backup of them is in place); they were not applied, "
                                            "and %1.]")
                                 .arg(kept)
                           : QStringLiteral("[Nerim couldn't read the changes saved to this project's panes (%1); %2.]")
                                 .arg(changes.why, kept));
        break;
    }
    }
    if (!notices.isEmpty())
        m_loadNotice = notices.join(u' ');
    if (result.layout && changes.kind != Kind::ours)
        m_saver->adopt(std::move(result.layout), std::move(result.fileContent), std::nullopt, false);
    else if (result.layout)
        m_saver->adopt(std::move(result.layout), std::move(result.fileContent), log, fold);
    else
        m_saver->adopt(nullptr, std::nullopt, log, true, !panesChangeLog::identityAt(m_path));
    for (PanesSaver::KeepFirst &keep : keepFirst)
        m_saver->keepFirst(std::move(keep));
    return std::move(result.snapshot);
}

void PanesSnapshotStore::encodeAhead(const QUuid &paneId, const OutputLines &lines)
{
    m_saver->encodeAhead(paneId, lines);
}

std::optional<QString> PanesSnapshotStore::saveFailure() const { return m_saver->failure(); }

bool PanesSnapshotStore::save(PanesSnapshot snapshot, PanesFoldBack foldBack)
{
    if (m_readOnly)
        return false;
    if (m_keepUnknownVersion) {
        if (snapshot.panes.isEmpty())
            return false;
        m_keepUnknownVersion = false;
    }
    return m_saver->save(std::move(snapshot), foldBack);
}

} // namespace nerim
