#pragma once

#include <QPointer>
#include <QWidget>

namespace nerim {

class ProjectCanvasViewModel;

// The Deploy pill of the canvas header. A stand-in for now: it takes the
// controller it will drive and shows nothing.
class DeployPill : public QWidget {
    Q_OBJECT
public:
    explicit DeployPill(ProjectCanvasViewModel *canvas, QWidget *parent = nullptr);

    bool showingPicker() const { return false; }

private:
    QPointer<ProjectCanvasViewModel> m_canvas;
};

} // namespace nerim
