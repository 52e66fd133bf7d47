// The repair loop on the canvas.
#include "canvas/ProjectCanvasViewModel.h"

namespace nerim {

QCoro::Task<> ProjectCanvasViewModel::beginRepair()
{
    co_return;
}

QCoro::Task<> ProjectCanvasViewModel::cancelRepair()
{
    co_return;
}

QCoro::Task<> ProjectCanvasViewModel::submitRepairSecret(QString name, QString value)
{
    Q_UNUSED(name);
    Q_UNUSED(value);
    co_return;
}

} // namespace nerim
