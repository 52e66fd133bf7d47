#pragma once

#include <QFuture>
#include <QHash>
#include <QMutex>
#include <QString>
#include <QThreadPool>
#include <QWaitCondition>
#include <functional>
#include <optional>

namespace nerim {

// Saves snapshot files in the background, one writer per file path:
// - writes of one path never overlap;
// - while a write of a path runs, only the newest queued snapshot waits behind
//   it (an older queued one is dropped, since the newest content wins);
// - `flush()` waits for every queued write, used when a project closes and
//   when the application quits.
// A job is the whole write (typically an AtomicFileWriter call on bytes the
// caller encoded on its own thread). A job that throws is logged under `tag`.
// panes.json, model.json, agent-names.json, plan.json and repair-history.jsonl
// are saved through the shared writer (the history file keeps its lines in a
// queue of its own that each job empties, so a dropped job drops no line).
class SerialFileWriter {
public:
    SerialFileWriter();
    ~SerialFileWriter();

    // The process-wide writer.
    static SerialFileWriter &shared();

    void submit(const QString &path, std::function<void()> job, const QString &tag = QStringLiteral("[Nerim]"));

    // Blocks until nothing is queued or running.
    void flush();

    // Completes (on a pool thread) once nothing is queued or running; awaitable.
    QFuture<void> whenIdle();

private:
    struct Job {
        std::function<void()> run;
        QString tag;
    };
    struct Slot {
        std::optional<Job> pending;
    };
    void drain(const QString &path, Job job);

    QThreadPool m_pool;
    QMutex m_mutex;
    QWaitCondition m_idle;
    QHash<QString, Slot> m_running; // paths with a write in progress
};

} // namespace nerim
