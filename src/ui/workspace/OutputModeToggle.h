#pragma once

#include "persistence/AppState.h"
#include "ui/workspace/HeaderControlsLook.h"

#include <QAbstractButton>
#include <QList>
#include <QPointer>
#include <QWidget>

namespace nerim {

class ProjectCanvasViewModel;

// The two-segment switch between the panes' full transcript and their
// highlights. A click asks the controller to store the mode; the segment
// shows as active once the controller has it.
class OutputModeToggle : public QWidget {
    Q_OBJECT
public:
    class Segment;

    explicit OutputModeToggle(ProjectCanvasViewModel *canvas, QWidget *parent = nullptr);

    // The segments, in order ("segment-verbose", "segment-notification").
    const QList<Segment *> &segments() const { return m_segments; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();

    QPointer<ProjectCanvasViewModel> m_canvas;
    QList<Segment *> m_segments;
};

class OutputModeToggle::Segment : public QAbstractButton {
    Q_OBJECT
public:
    Segment(const HeaderControlsLook::Segment &look, QWidget *parent);

    const HeaderControlsLook::Segment &look() const { return m_look; }
    void setLook(const HeaderControlsLook::Segment &look);
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    HeaderControlsLook::Segment m_look;
    double m_progress = 0; // 0 inactive, 1 active
};

} // namespace nerim
