#pragma once

// Between a running pane and its saved form: a pane's state taken for the
// panes file, and a pane made again from what the file holds.

#include "panes-store/PanesSnapshot.h"

#include <QObject>
#include <QString>

namespace nerim {

class AgentPaneState;
class OutputLines;

// Taken on the GUI thread; the transcript and turns are shared, not copied, so
// this is cheap, and the copy may be read on another thread.
PaneDiskSnapshot snapshotOfPane(const AgentPaneState &pane);

// A restored pane: status idle, no session, the saved transcript and turns.
AgentPaneState *restorePane(const PaneDiskSnapshot &saved, QObject *parent = nullptr);

// A task cut short by the end of Nerim. The transcript of an agent pane shows
// each task as the prompt's line, then the application's lines and the
// agent's output, and last the line that ended the run: the exit line, the
// failure to start, or one of the two lines below. A transcript whose newest
// prompt has no such line after it was saved while its agent worked.
bool endsInUnfinishedTask(const OutputLines &lines);
// Said in a pane whose agent was working when the project was closed (the
// window closed, Nerim quit, or the user went back to the projects).
extern const QString taskStoppedByCloseLine;
// Said at the next open of a pane whose task never ended: Nerim was killed or
// crashed while the agent worked.
extern const QString taskStoppedUnexpectedlyLine;

// At the close of a project: an agent pane whose agent is still at work says
// that its task stops here. Returns whether a line was added.
bool tellTaskStoppedByClose(AgentPaneState &pane);
// At the open of a project: a restored agent pane whose task never ended says
// so, once (the line ends the task, so the next open finds it finished).
// Returns whether a line was added.
bool tellTaskStoppedUnexpectedly(AgentPaneState &pane);

} // namespace nerim
