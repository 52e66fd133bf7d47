#pragma once

// What the workspace benchmarks share: the saved panes of a project.

#include "panes-store/OutputLines.h"
#include "panes-store/PanesSnapshot.h"

#include <QUuid>
#include <functional>

namespace nerim::bench {

// `count` agent panes named "Claude 1", "Claude 2"…, pane N holding
// `lines(N)`; the first one in focus.
inline PanesSnapshot projectPanes(int count, const std::function<OutputLines(int)> &lines)
{
    PanesSnapshot snapshot;
    snapshot.nextAgentNumber = count + 1;
    for (int p = 1; p <= count; ++p) {
        PaneDiskSnapshot pane;
        pane.id = QUuid::createUuid();
        pane.agentId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        pane.agentName = QStringLiteral("Claude %1").arg(p);
        pane.paneNumber = p;
        pane.outputLines = lines(p);
        snapshot.panes.append(pane);
    }
    if (!snapshot.panes.isEmpty())
        snapshot.focusedPaneId = snapshot.panes.first().id;
    return snapshot;
}

} // namespace nerim::bench
