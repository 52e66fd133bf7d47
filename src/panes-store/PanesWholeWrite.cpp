// Writing panes.json whole, copying from the file there what it already
// holds (see panesEncoding::writeReusing in PanesSaver.h).
#include "panes-store/PanesSaver.h"

#include "panes-store/PanesEncoding.h"
#include "panes-store/PanesViewFile.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QFileInfo>
#include <QScopeGuard>
#include <QSet>
#include <unistd.h>

namespace nerim {

namespace {

// Passes the document to the file being written.
class FileOutput final : public panesEncoding::Output {
public:
    explicit FileOutput(AtomicFileWriter::ContentSink &sink) : m_sink(sink) {}

    void copyFrom(int fd, qint64 offset, qint64 length) override
    {
        flush();
        m_sink.copyFrom(fd, offset, length);
        passed(length);
    }

protected:
    void put(QByteArrayView bytes) override { m_sink.write(bytes); }

private:
    AtomicFileWriter::ContentSink &m_sink;
};

// Takes parts from the previous file (open at `fd`, checked to be the one
// `previous` describes) and notes where the new file puts each part.
class FileReuse final : public panesEncoding::Reuse {
public:
    FileReuse(const PanesFileLayout *previous, int fd, PanesFileLayout &next)
        : m_previous(previous), m_fd(fd), m_next(next)
    {
    }

    qsizetype putLines(const PaneDiskSnapshot &pane, panesEncoding::Output &out) override
    {
        const PanesFileLayout::Pane *before = previous(pane);
        if (!before || before->lineCount == 0 || before->storageId != pane.outputLines.storageId() ||
            before->lineCount > pane.outputLines.size())
            return 0;
        out.copyFrom(m_fd, before->lines.begin, before->lines.end - before->lines.begin);
        return before->lineCount;
    }

    bool putTurn(const PaneDiskSnapshot &pane, const ConversationTurn &turn, panesEncoding::Output &out) override
    {
        const PanesFileLayout::Pane *before = previous(pane);
        if (!before)
            return false;
        const auto found = before->turns.constFind(turn.id);
        if (found == before->turns.constEnd() || found->repeated || found->key != PanesFileLayout::turnKey(turn))
            return false;
        out.copyFrom(m_fd, found->range.begin, found->range.end - found->range.begin);
        return true;
    }

    void wroteLines(const PaneDiskSnapshot &pane, qint64 begin, qint64 end) override
    {
        PanesFileLayout::Pane &entry = m_next.panes[pane.id];
        if (m_panesWritten.contains(pane.id))
            entry.repeated = true;
        m_panesWritten.insert(pane.id);
        entry.storageId = pane.outputLines.storageId();
        entry.lineCount = pane.outputLines.size();
        entry.lines = {begin, end};
    }

    void wroteTurn(const PaneDiskSnapshot &pane, const ConversationTurn &turn, qint64 begin, qint64 end) override
    {
        PanesFileLayout::Pane &entry = m_next.panes[pane.id];
        if (m_panesWritten.contains(pane.id))
            entry.repeated = true; // a second pane of this id (its lines come after its turns)
        entry.addTurn(turn.id, PanesFileLayout::turnKey(turn), {begin, end});
    }

private:
    const PanesFileLayout::Pane *previous(const PaneDiskSnapshot &pane) const
    {
        if (!m_previous || m_fd < 0)
            return nullptr;
        const auto found = m_previous->panes.constFind(pane.id);
        return found == m_previous->panes.constEnd() || found->repeated ? nullptr : &*found;
    }

    const PanesFileLayout *m_previous;
    int m_fd;
    PanesFileLayout &m_next;
    QSet<QUuid> m_panesWritten;
};

// The file at `path` when it is the one `layout` describes, open for reading.
int openUnchanged(const QString &path, const PanesFileLayout &layout)
{
    const int fd = panesChangeLog::openForReading(path);
    if (fd < 0)
        return -1;
    if (AtomicFileWriter::FileIdentity::of(fd) != layout.file) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

namespace panesEncoding {

PanesFileLayout writeReusing(const PanesSnapshot &snapshot, const QString &path, const PanesFileLayout *layout,
                             std::optional<panesChangeLog::LogFile> *log, QStringList *keptAside)
{
    PanesFileLayout next;
    const QString logPath = panesChangeLog::pathFor(path);
    std::optional<panesChangeLog::LogFile> folded;
    AtomicFileWriter::WriteOptions options;
    // Written beneath the project: a .nerim swapped for a link is refused.
    options.beneath = IntentProcessorConstants::projectOfDataFile(path);
    if (log && *log && snapshot.documentId) {
        // Once the new file is on disk and before it replaces the old one,
        // the log says it is in the new file: a crash before the log is
        // removed leaves a log that the next load knows to be folded.
        options.beforeReplacing = [&] {
            if (const std::optional<panesChangeLog::LogFile> marked =
                    panesChangeLog::appendFoldMarker(logPath, **log, *snapshot.documentId)) {
                *log = marked;
                folded = marked;
            }
        };
    }
    const auto produce = [&](AtomicFileWriter::ContentSink &sink) {
        const int fd = layout ? openUnchanged(path, *layout) : -1;
        const auto closing = qScopeGuard([fd] {
            if (fd >= 0)
                ::close(fd);
        });
        FileOutput out(sink);
        FileReuse reuse(layout, fd, next);
        encodeDocument(snapshot, out, &reuse);
    };
    // In a project open here, written into the `.nerim` its door holds, once
    // the door says this Nerim may write.
    const std::optional<panesChangeLog::Place> place =
        options.beneath.isEmpty() ? std::nullopt : panesChangeLog::placeOf(path);
    if (place && place->door) {
        place->checkWritable();
        next.file = AtomicFileWriter::write(produce, place->folder, place->name,
                                            QFileInfo(AtomicFileWriter::backupPathFor(path)).fileName(), options);
    } else {
        panesChangeLog::checkWritable(path);
        next.file = AtomicFileWriter::write(produce, path, AtomicFileWriter::backupPathFor(path), options);
    }
    if (log)
        log->reset();
    // The log folded into the new file goes; any other is kept aside. A view
    // file written for the file replaced is stale. (unlink never follows a link.)
    if (const std::optional<QString> aside = panesChangeLog::finishFold(logPath, folded); aside && keptAside)
        keptAside->append(QFileInfo(*aside).fileName());
    panesChangeLog::removeFile(PanesViewFile::pathFor(path));
    return next;
}

} // namespace panesEncoding

} // namespace nerim
