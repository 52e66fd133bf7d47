#pragma once

#include "agents/OutputLine.h"

#include <QWidget>

namespace nerim {

// One transcript line drawn by its kind: agent output with inline Markdown,
// errors in red monospace, the application's lines small and grey, the
// user's prompt beside an accent bar, a task-complete report in a capsule
// with a check mark. Every text is selectable and wraps.
class OutputLineView : public QWidget {
    Q_OBJECT
public:
    explicit OutputLineView(const OutputLine &line, QWidget *parent = nullptr);

    const OutputLine &line() const { return m_line; }

private:
    OutputLine m_line;
};

} // namespace nerim
