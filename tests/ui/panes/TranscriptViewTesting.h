#pragma once

// What the transcript view's tests share: the includes they use, waiting
// for a view to take in its lines and lay out its rows, and a pane to show.
#include "agents/AgentPaneState.h"
#include "foundation/UuidText.h"
#include "ui/design/MotionPreferences.h"
#include "ui/panes/AgentPaneLook.h"
#include "ui/panes/AgentPaneView.h"
#include "ui/panes/CodeBlockView.h"
#include "ui/panes/InlineMarkdown.h"
#include "ui/panes/LongLines.h"
#include "ui/panes/MarkdownTextLabel.h"
#include "ui/panes/OutputLineView.h"
#include "ui/panes/RunChunks.h"
#include "ui/panes/StdoutRunView.h"
#include "ui/panes/TranscriptView.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTest>
#include <QTextDocument>
#include <QTextEdit>
#include <QUuid>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <memory>

namespace nerim::transcript_testing {

using namespace Qt::StringLiterals;

inline void settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    // A view takes in its first lines in the frame after it is shown, and
    // lays out rows near it a turn's budget at a time: let it catch up.
    for (int i = 0; i < 2000 && TranscriptView::anyCatchingUp(); ++i)
        QTest::qWait(1);
    QApplication::processEvents();
}

inline std::unique_ptr<AgentPaneState> makePane()
{
    return std::make_unique<AgentPaneState>(QUuid::createUuid(), u"pane"_s, u"Pane"_s, 1, false,
                                            AgentRole::unspecified, QString());
}

} // namespace nerim::transcript_testing
