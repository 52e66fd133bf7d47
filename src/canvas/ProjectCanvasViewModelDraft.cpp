// The prompt draft: draft.txt in the project's data folder mirrors the prompt
// bar, debounced, and is removed when a prompt is submitted.
//
// Writes and removals of draft.txt go through the per-path serial writer, so
// they never overlap and the newest request wins: a removal requested at
// submission replaces a write still waiting, and a write never lands after the
// removal that followed it. Teardown writes a draft still waiting for its
// debounce. The draft is read with RegularFile::read (a link, pipe or device
// there is refused at once, the size is capped) and written with
// AtomicFileWriter::replace, which replaces a link rather than writing through
// it; a removal unlinks the name, never what a link leads to. Text typed while
// the project loads wins over the saved draft and is saved.
#include "canvas/ProjectCanvasViewModel.h"

#include "foundation/BeneathFolder.h"
#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace nerim {

namespace {

QString draftPath(const QString &dataFolder)
{
    return dataFolder + QStringLiteral("/draft.txt");
}

} // namespace

void ProjectCanvasViewModel::scheduleDraftSave()
{
    m_pendingDraftText = m_inputPrompt;
    m_draftSaveTimer.start(); // restarts a pending save
}

void ProjectCanvasViewModel::persistPromptDraft(const QString &text)
{
    // Typing while the project loads is saved (the write checks the folder);
    // once the memory has failed, nothing is.
    if (m_bootstrapStatus.kind() == BootstrapStatus::Kind::failed || m_openElsewhere)
        return;
    const QString projectPath = m_projectPath;
    SerialFileWriter::shared().submit(draftPath(dataFolder()), [projectPath, text] {
        // The folder is checked where the write happens: a project folder that
        // is gone is never made again, a linked data folder is never written into.
        const std::optional<QString> folder = checkedDataFolder(projectPath);
        if (!folder)
            return;
        const QString path = draftPath(*folder);
        try {
            if (text.isEmpty()) {
                // Unlinking removes whatever is at the name, never what a
                // link leads to, in the data folder reached without a link.
                QString name;
                const BeneathFolder folder =
                    BeneathFolder::holding(projectPath, path, BeneathFolder::Create::nothing, &name);
                if (::unlinkat(folder.fd(), QFile::encodeName(name).constData(), 0) != 0 && errno != ENOENT)
                    throw std::runtime_error(std::strerror(errno));
                return;
            }
            AtomicFileWriter::replace(text.toUtf8(), path, AtomicFileWriter::inProject(projectPath));
        } catch (...) {
            logLine(QStringLiteral("[Nerim] Prompt draft persist failed: %1")
                        .arg(AtomicFileWriter::describeFailure(std::current_exception())));
        }
    });
}

void ProjectCanvasViewModel::clearPromptDraft()
{
    m_draftSaveTimer.stop();
    persistPromptDraft(QString());
}

} // namespace nerim
