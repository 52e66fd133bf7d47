#pragma once

#include "panes-store/PanesSnapshot.h"

namespace nerim::test {

// The number of "line <n>" lines a pane holds from "line 0" on, when they are
// there in order with none missing; -1 when they are not.
inline qint64 numberedLines(const PaneDiskSnapshot &pane)
{
    qint64 next = 0;
    for (const OutputLine &line : pane.outputLines) {
        if (!line.text.startsWith(QStringLiteral("line ")))
            continue;
        if (line.text != QStringLiteral("line %1").arg(next))
            return -1;
        ++next;
    }
    return next;
}

} // namespace nerim::test
