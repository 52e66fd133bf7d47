#pragma once

#include <QString>
#include <QTimer>
#include <chrono>
#include <functional>
#include <optional>

namespace nerim {

// The prompt draft: draft.txt in the project's data folder mirrors the prompt
// bar, debounced, and is removed when a prompt is submitted. The canvas reads
// it in its start-up load (`read`) and tells this keeper of every change of
// the prompt text; its teardown writes a draft still waiting for the debounce.
// Text typed while the project loads wins over the saved draft and is saved.
//
// Writes and removals of draft.txt go through the per-path serial writer, so
// they never overlap and the newest request wins: a removal requested at
// submission replaces a write still waiting, and a write never lands after the
// removal that followed it. The draft is read as a regular file only (a link,
// pipe or device there is refused at once, the size is capped) and written with
// `AtomicFileWriter::replace`, which replaces a link rather than writing through
// it; a removal unlinks the name, never what a link leads to.
//
// GUI thread; the file work happens on the serial writer's thread.
class PromptDraftKeeper {
public:
    // Where the write happens (off the GUI thread): the checked data folder of
    // the project, nothing when it must not be written into.
    using CheckedDataFolder = std::function<std::optional<QString>(const QString &projectPath)>;

    // `dataFolder`: the project's data folder as named (the serial writer's
    // key). `mayWrite`: asked on each write or removal; no means nothing is done.
    PromptDraftKeeper(QString projectPath, QString dataFolder, std::chrono::milliseconds delay,
                      std::function<bool()> mayWrite, CheckedDataFolder checkedDataFolder);

    // A saved draft: the whole file as UTF-8; nothing for a missing,
    // undecodable or empty file, nor for anything but a regular file. Blocks:
    // called off the GUI thread.
    static std::optional<QString> read(const QString &dataFolder);

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

    const QString m_projectPath;
    const QString m_dataFolder;
    std::function<bool()> m_mayWrite;
    CheckedDataFolder m_checkedDataFolder;
    QTimer m_timer;
    QString m_pendingText;
};

} // namespace nerim
