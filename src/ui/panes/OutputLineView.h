#pragma once

#include "panes-store/OutputLine.h"

#include <QWidget>

namespace nerim {

// One transcript line drawn by its kind: agent output with inline Markdown,
// errors in red monospace, the application's lines small and grey, the
// user's prompt beside an accent bar, a task-complete report in a capsule
// with a check mark. Every text is selectable and wraps. A line longer than
// a slice (LongLines.h) shows its first `slices` slices, with a "Show more"
// control under it that asks for one more (`showMoreRequested`).
class OutputLineView : public QWidget {
    Q_OBJECT
public:
    explicit OutputLineView(const OutputLine &line, QWidget *parent = nullptr, int slices = 1);

    const OutputLine &line() const { return m_line; }
    // How much of the line's text is not shown.
    qsizetype hiddenLength() const { return m_hidden; }

    // The "Show more" control under a long text ("showMore"): a small flat
    // button in the accent colour that never takes the keyboard.
    static QWidget *makeShowMoreButton(QWidget *parent);

signals:
    void showMoreRequested();

private:
    OutputLine m_line;
    qsizetype m_hidden = 0;
};

} // namespace nerim
