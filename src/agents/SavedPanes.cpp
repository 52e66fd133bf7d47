#include "agents/SavedPanes.h"

#include "agents/AgentPaneState.h"

namespace nerim {

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

} // namespace nerim
