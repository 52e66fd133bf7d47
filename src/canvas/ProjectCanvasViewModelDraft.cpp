// The prompt draft: draft.txt in the project's data folder mirrors the prompt
// bar, debounced, and is removed when a prompt is submitted.
//
// Writes and removals of draft.txt go through the per-path serial writer, so
// they never overlap and the newest request wins: a removal requested at
// submission replaces a write still waiting, and a write never lands after the
// removal that followed it.
#include "canvas/ProjectCanvasViewModel.h"

#include "foundation/Log.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <stdexcept>

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
    const QString projectPath = m_projectPath;
    SerialFileWriter::shared().submit(draftPath(dataFolder()), [projectPath, text] {
        // The data folder is never made for a project folder that is gone.
        if (!QFileInfo(projectPath).isDir())
            return;
        QString folder;
        try {
            folder = IntentProcessorConstants::projectDotfolder(projectPath);
        } catch (...) {
            return;
        }
        const QString path = draftPath(folder);
        try {
            if (text.isEmpty()) {
                QFile file(path);
                if (file.exists() && !file.remove())
                    throw std::runtime_error(file.errorString().toStdString());
                return;
            }
            QSaveFile file(path);
            if (!file.open(QIODevice::WriteOnly))
                throw std::runtime_error(file.errorString().toStdString());
            file.write(text.toUtf8());
            if (!file.commit())
                throw std::runtime_error(file.errorString().toStdString());
        } catch (const std::exception &e) {
            logLine(QStringLiteral("[Nerim] Prompt draft persist failed: %1").arg(QString::fromUtf8(e.what())));
        }
    });
}

void ProjectCanvasViewModel::clearPromptDraft()
{
    m_draftSaveTimer.stop();
    const QString path = draftPath(dataFolder());
    SerialFileWriter::shared().submit(path, [path] { QFile::remove(path); });
}

} // namespace nerim
