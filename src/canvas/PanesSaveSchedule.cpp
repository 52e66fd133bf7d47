// When the canvas saves its panes (see PanesSaveSchedule.h).
#include "canvas/PanesSaveSchedule.h"

#include <QObject>
#include <algorithm>
#include <utility>

namespace nerim {

PanesSaveSchedule::PanesSaveSchedule(Host host, Timing timing) : m_host(std::move(host)), m_timing(timing)
{
    m_outputTimer.setSingleShot(true);
    m_outputTimer.setInterval(m_timing.outputSaveDelay);
    QObject::connect(&m_outputTimer, &QTimer::timeout, &m_outputTimer, [this] { m_host.save(PanesFoldBack::later); });
    m_retryTimer.setSingleShot(true);
    QObject::connect(&m_retryTimer, &QTimer::timeout, &m_retryTimer, [this] { m_host.save(PanesFoldBack::later); });
}

void PanesSaveSchedule::track(const QUuid &paneId, qsizetype lineCount)
{
    if (!m_linesCounted.contains(paneId))
        m_linesCounted.insert(paneId, lineCount);
}

void PanesSaveSchedule::scheduleOutputSave()
{
    // Started by the first change after a save, so no line waits longer.
    if (m_host.canSave() && !m_outputTimer.isActive())
        m_outputTimer.start();
}

void PanesSaveSchedule::countOutput(const QUuid &paneId, const OutputLines &lines)
{
    qsizetype &counted = m_linesCounted[paneId];
    // A transcript put in place of another is counted from its start.
    if (counted > lines.size())
        counted = 0;
    for (; counted < lines.size(); ++counted)
        m_unsavedBytes += lines.utf8(counted).size();
}

void PanesSaveSchedule::saveOrScheduleOutput()
{
    if (m_unsavedBytes >= m_timing.outputSaveBytes && m_host.canSave())
        m_host.save(PanesFoldBack::later);
    else
        scheduleOutputSave();
}

void PanesSaveSchedule::saveEvent(const PanesSaveEvent &event)
{
    if (m_host.isTornDown())
        return;
    switch (event.kind) {
    case PanesSaveEvent::Kind::failed:
        // Said once while saving fails; the lines wait in memory for the retry
        // (and, with no pane open, there is nothing to lose until one opens).
        if (!m_toldNotSaved && m_host.hasPanes()) {
            m_toldNotSaved = true;
            m_host.tellPanes(QStringLiteral("[This pane's history is not being saved: %1. Nerim keeps trying, and "
                                            "says so here once it is saved again.]")
                                 .arg(event.reason));
        }
        if (!m_retryTimer.isActive()) {
            m_retryDelay = m_retryDelay.count() == 0 ? m_timing.retryDelay
                                                     : std::min(m_retryDelay * 2, m_timing.retryCap);
            m_retryTimer.start(m_retryDelay);
        }
        return;
    case PanesSaveEvent::Kind::recovered:
        m_retryTimer.stop();
        m_retryDelay = std::chrono::milliseconds(0);
        if (std::exchange(m_toldNotSaved, false) && m_host.hasPanes())
            m_host.tellPanes(QStringLiteral("[This pane's history is being saved again.]"));
        break;
    case PanesSaveEvent::Kind::keptAside:
        m_host.tellPanes(
            QStringLiteral("[Nerim found this project's saved panes changed by something else (another Nerim, "
                           "or a backup put back) and kept that version as %1 in the project's .nerim "
                           "folder; the panes shown here were saved in its place.]")
                .arg(event.kept.join(QStringLiteral(" and "))));
        break;
    }
    // The line just added is saved with the panes.
    m_host.save(PanesFoldBack::whenDue);
}

void PanesSaveSchedule::saving(const QList<std::pair<QUuid, qsizetype>> &panes)
{
    m_outputTimer.stop();
    m_unsavedBytes = 0;
    m_linesCounted.clear();
    for (const auto &[id, lineCount] : panes)
        m_linesCounted.insert(id, lineCount);
}

} // namespace nerim
