#pragma once

// Between a running pane and its saved form: a pane's state taken for the
// panes file, and a pane made again from what the file holds.

#include "panes-store/PanesSnapshot.h"

#include <QObject>

namespace nerim {

class AgentPaneState;

// Taken on the GUI thread; the transcript and turns are shared, not copied, so
// this is cheap, and the copy may be read on another thread.
PaneDiskSnapshot snapshotOfPane(const AgentPaneState &pane);

// A restored pane: status idle, no session, the saved transcript and turns.
AgentPaneState *restorePane(const PaneDiskSnapshot &saved, QObject *parent = nullptr);

} // namespace nerim
