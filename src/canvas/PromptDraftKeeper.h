#pragma once

#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace nerim {

class ProjectDataFolder;

// The prompt draft: draft.txt in the project's data folder mirrors the prompt
// bar, debounced, and is removed when a prompt is submitted. The canvas reads
// it in its start-up load (`read`) and tells this keeper of every change of
// the prompt text; its teardown writes a draft still waiting for the debounce.
// Text typed while the project loads wins over the saved draft and is saved.
//
// Writes and removals of draft.txt go through the project's data folder door
// (ProjectDataFolder::save), so they never overlap, the newest request wins
// (a removal requested at submission replaces a write still waiting, and a
// write never lands after the removal that followed it), a failed write is
// retried and told, and a Nerim that does not hold the project writes no
// draft. Until the start-up load has opened the door, the newest draft waits
// here and is saved once it is open. The draft is read as a regular file only
// (a link, pipe or device there is refused at once, the size is capped) and
// written with the crash-safe replace, which replaces a link rather than
// writing through it; a removal unlinks the name, never what a link leads to.
//
// GUI thread; the file work happens on the serial writer's thread.
class PromptDraftKeeper {
public:
    explicit PromptDraftKeeper(std::chrono::milliseconds delay);

    // A saved draft: the whole file as UTF-8; nothing for a missing,
    // undecodable or empty file, nor for anything but a regular file. Blocks:
    // called off the GUI thread.
    static std::optional<QString> read(const ProjectDataFolder &folder);

    // Where drafts are written from now on (nothing: none is written, and a
    // draft waiting for the door is dropped). A draft that waited for the
    // door is saved now.
    void setDoor(std::shared_ptr<ProjectDataFolder> door);

    // Saves `text` once no further change came for the debounce delay.
    void schedule(const QString &text);
    // Drops a waiting save and removes the file.
    void clear();
    // Writes a draft still waiting for its debounce at once.
    void flush();
    bool hasPendingSave() const { return m_timer.isActive(); }

private:
    // Writes `text` now (an empty text removes the file).
    void persist(const QString &text);

    std::shared_ptr<ProjectDataFolder> m_door;
    bool m_doorDecided = false;
    std::optional<QString> m_waitingForDoor;
    QTimer m_timer;
    QString m_pendingText;
};

} // namespace nerim
