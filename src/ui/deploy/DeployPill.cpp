#include "ui/deploy/DeployPill.h"

#include "canvas/ProjectCanvasViewModel.h"

namespace nerim {

DeployPill::DeployPill(ProjectCanvasViewModel *canvas, QWidget *parent)
    : QWidget(parent)
    , m_canvas(canvas)
{
    setObjectName(QStringLiteral("DeployPill"));
    setFixedSize(0, 0);
    hide();
}

} // namespace nerim
