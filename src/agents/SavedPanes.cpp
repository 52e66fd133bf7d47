#include "agents/SavedPanes.h"

#include "agents/AgentPaneState.h"
#include "panes-store/OutputLines.h"

#include <QRegularExpression>

namespace nerim {

const QString taskStoppedByCloseLine = QStringLiteral("[Nerim was closed during this task, so it didn't finish.]");
const QString taskStoppedUnexpectedlyLine =
    QStringLiteral("[Nerim stopped unexpectedly during this task, so it didn't finish.]");

PaneDiskSnapshot snapshotOfPane(const AgentPaneState &pane)
{
    PaneDiskSnapshot snapshot;
    snapshot.id = pane.id();
    snapshot.agentId = pane.agentId();
    snapshot.agentName = pane.agentName();
    snapshot.paneNumber = pane.paneNumber();
    snapshot.responsibility = pane.responsibility();
    snapshot.outputLines = pane.outputLines();
    snapshot.conversation = pane.completedTurns();
    snapshot.isSystemPane = pane.isSystemPane();
    snapshot.role = pane.role();
    snapshot.generation = pane.generation();
    return snapshot;
}

AgentPaneState *restorePane(const PaneDiskSnapshot &saved, QObject *parent)
{
    auto *pane = new AgentPaneState(saved.id, saved.agentId, saved.agentName, saved.paneNumber, saved.isSystemPane,
                                    saved.role, saved.responsibility, parent);
    pane->setOutputLines(saved.outputLines);
    pane->setConversation(saved.conversation);
    return pane;
}

namespace {

// Whether a line of the application's ends the run of the prompt before it.
// Agent output is never one: its lines are standard output.
bool endsRun(const OutputLines &lines, qsizetype i)
{
    const OutputLine::Kind kind = lines.kind(i);
    if (kind != OutputLine::Kind::system && kind != OutputLine::Kind::stderr)
        return false;
    const QString text = lines.text(i);
    // The canvas's exit line: "[<name> exited · code <n>]", whatever the
    // pane was called then.
    static const QRegularExpression exitLine(QStringLiteral("^\\[.* exited \u00b7 code -?\\d+\\]$"),
                                             QRegularExpression::DotMatchesEverythingOption);
    return text == taskStoppedByCloseLine || text == taskStoppedUnexpectedlyLine ||
           (kind == OutputLine::Kind::stderr && text.startsWith(QLatin1String("Failed to spawn agent: "))) ||
           exitLine.match(text).hasMatch();
}

} // namespace

bool endsInUnfinishedTask(const OutputLines &lines)
{
    // Only the kinds are read until the newest prompt is found: a long run's
    // output costs no decoding.
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        if (lines.kind(i) == OutputLine::Kind::userPrompt)
            return true;
        if (endsRun(lines, i))
            return false;
    }
    return false;
}

bool tellTaskStoppedByClose(AgentPaneState &pane)
{
    // The Repair and Deploy panes' sessions tell their own ending.
    if (pane.isSystemPane() || !isBusy(pane.status()))
        return false;
    pane.appendLine(OutputLine::Kind::system, taskStoppedByCloseLine);
    return true;
}

bool tellTaskStoppedUnexpectedly(AgentPaneState &pane)
{
    if (pane.isSystemPane() || !endsInUnfinishedTask(pane.outputLines()))
        return false;
    pane.appendLine(OutputLine::Kind::stderr, taskStoppedUnexpectedlyLine);
    return true;
}

} // namespace nerim
