#pragma once

#include "panes-store/OutputLines.h"
#include "panes-store/PanesSaver.h"

#include <QHash>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <chrono>
#include <functional>

namespace nerim {

// When the canvas saves its panes besides the events that change them: a
// pane's new output (an agent printing) or turns are saved within the output
// delay (one timer, started by the first change after a save), and at once
// when the text the panes added since the last save passes the byte
// threshold, so a flood is saved in pieces of about that size while it
// streams, and what a quit has left to save stays small. A save that failed
// (told by the panes saver) is tried again after the retry delay, twice as
// long after each further failure, up to the cap, until one works; the panes
// are told once when their history stops being saved and when it is saved
// again, and which files found in the way were kept.
//
// It owns the two timers, the back-off and the count of unsaved text; the
// canvas owns the panes and the save itself, given as the `Host` callbacks.
// GUI thread.
class PanesSaveSchedule {
public:
    struct Host {
        // Whether the canvas saves panes now (restored and not torn down).
        std::function<bool()> canSave;
        std::function<bool()> isTornDown;
        std::function<bool()> hasPanes;
        // Adds a system line to every open pane (see the canvas's `tellPanes`).
        std::function<void(const QString &line)> tellPanes;
        // The canvas's save of its panes, which calls `saving` first.
        std::function<void(PanesFoldBack)> save;
    };
    struct Timing {
        std::chrono::milliseconds outputSaveDelay;
        qint64 outputSaveBytes;
        std::chrono::milliseconds retryDelay;
        std::chrono::milliseconds retryCap;
    };

    PanesSaveSchedule(Host host, Timing timing);

    // A pane joins the panes: its lines so far count as saved.
    void track(const QUuid &paneId, qsizetype lineCount);
    // A pane's output or turns changed: saved within the output delay.
    void scheduleOutputSave();
    // Counts the text of the lines a pane added since it was last counted.
    void countOutput(const QUuid &paneId, const OutputLines &lines);
    // After new output: saves at once past the byte threshold, else within the output delay.
    void saveOrScheduleOutput();
    // What the panes saver tells: failed saves are tried again, and the
    // panes say when their history stops and starts being saved again, and
    // which files found in the way were kept.
    void saveEvent(const PanesSaveEvent &event);
    // A save takes whatever the panes hold now: the output timer starts again
    // with the next change, and the count of unsaved text from nothing.
    // `panes`: each open pane's id and line count.
    void saving(const QList<std::pair<QUuid, qsizetype>> &panes);
    void stopRetrying() { m_retryTimer.stop(); }

private:
    Host m_host;
    Timing m_timing;
    QTimer m_outputTimer;
    // Tries a failed panes save again; the next wait doubles after each try.
    QTimer m_retryTimer;
    std::chrono::milliseconds m_retryDelay{0};
    // The panes were told that their history is not being saved.
    bool m_toldNotSaved = false;
    // The bytes of text the panes added since the last save, and how many of
    // each pane's lines (by pane id) are counted in it or saved.
    qint64 m_unsavedBytes = 0;
    QHash<QUuid, qsizetype> m_linesCounted;
};

} // namespace nerim
