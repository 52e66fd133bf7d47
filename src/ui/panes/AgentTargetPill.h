#pragma once

#include "ui/panes/MenuPill.h"

#include <QList>
#include <QMetaObject>
#include <QPointer>

namespace nerim {

class ProjectCanvasViewModel;

// The prompt bar's capsule that shows where the next prompt goes (Auto,
// Plans or a pane's name) and whose menu changes it through the controller.
// It follows the target, the pane list and the panes' names.
class AgentTargetPill : public MenuPill {
    Q_OBJECT
public:
    explicit AgentTargetPill(ProjectCanvasViewModel *canvas, QWidget *parent = nullptr);

private:
    QMenu *makeMenu(QWidget *parent);
    void watchPanes();
    void refresh();

    QPointer<ProjectCanvasViewModel> m_canvas;
    QList<QMetaObject::Connection> m_paneConnections;
};

} // namespace nerim
