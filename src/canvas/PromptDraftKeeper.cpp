// The prompt draft (see PromptDraftKeeper.h).
#include "canvas/PromptDraftKeeper.h"

#include "foundation/BeneathFolder.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "foundation/SerialFileWriter.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QFile>
#include <QStringDecoder>
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

PromptDraftKeeper::PromptDraftKeeper(QString projectPath, QString dataFolder, std::chrono::milliseconds delay,
                                     std::function<bool()> mayWrite, CheckedDataFolder checkedDataFolder)
    : m_projectPath(std::move(projectPath)), m_dataFolder(std::move(dataFolder)), m_mayWrite(std::move(mayWrite)),
      m_checkedDataFolder(std::move(checkedDataFolder))
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(delay);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { persist(m_pendingText); });
}

std::optional<QString> PromptDraftKeeper::read(const QString &dataFolder)
{
    std::optional<QByteArray> bytes;
    try {
        const QString path = draftPath(dataFolder);
        bytes = RegularFile::readBeneath(IntentProcessorConstants::projectOfDataFile(path), path);
    } catch (const std::exception &e) {
        logLine(QStringLiteral("[Nerim] Prompt draft not read: %1").arg(QString::fromUtf8(e.what())));
        return std::nullopt;
    }
    if (!bytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(*bytes);
    if (decoder.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

void PromptDraftKeeper::schedule(const QString &text)
{
    m_pendingText = text;
    m_timer.start(); // restarts a pending save
}

void PromptDraftKeeper::persist(const QString &text)
{
    // Typing while the project loads is saved (the write checks the folder);
    // once the memory has failed, nothing is.
    if (!m_mayWrite())
        return;
    const QString projectPath = m_projectPath;
    const CheckedDataFolder checkedDataFolder = m_checkedDataFolder;
    SerialFileWriter::shared().submit(draftPath(m_dataFolder), [projectPath, checkedDataFolder, text] {
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

void PromptDraftKeeper::clear()
{
    m_timer.stop();
    persist(QString());
}

void PromptDraftKeeper::flush()
{
    if (m_timer.isActive()) {
        m_timer.stop();
        persist(m_pendingText);
    }
}

} // namespace nerim
