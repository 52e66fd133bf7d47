// The prompt draft (see PromptDraftKeeper.h).
#include "canvas/PromptDraftKeeper.h"

#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/ProjectDataFolder.h"

#include <QFile>
#include <QStringDecoder>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace nerim {

namespace {

const QString draftName = QStringLiteral("draft.txt");

} // namespace

PromptDraftKeeper::PromptDraftKeeper(std::chrono::milliseconds delay)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(delay);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { persist(m_pendingText); });
}

std::optional<QString> PromptDraftKeeper::read(const ProjectDataFolder &folder)
{
    std::optional<QByteArray> bytes;
    try {
        bytes = RegularFile::readAt(folder.folder().fd(), draftName);
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

void PromptDraftKeeper::setDoor(std::shared_ptr<ProjectDataFolder> door)
{
    m_door = std::move(door);
    m_doorDecided = true;
    if (const std::optional<QString> waiting = std::exchange(m_waitingForDoor, std::nullopt); waiting && m_door)
        persist(*waiting);
}

void PromptDraftKeeper::schedule(const QString &text)
{
    m_pendingText = text;
    m_timer.start(); // restarts a pending save
}

void PromptDraftKeeper::persist(const QString &text)
{
    // Typing while the project loads waits for the door; once the load has
    // decided there is none (the memory failed, the project is gone), nothing
    // is written.
    if (!m_door) {
        if (!m_doorDecided)
            m_waitingForDoor = text;
        return;
    }
    m_door->save(ProjectDataFolder::Kind::draft, draftName, [text](const ProjectDataFolder &folder) {
        if (text.isEmpty())
            folder.remove(ProjectDataFolder::Kind::draft, draftName);
        else
            folder.replace(ProjectDataFolder::Kind::draft, draftName, text.toUtf8());
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
