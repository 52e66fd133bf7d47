#include "voice/GuiAppActivity.h"

#include <QGuiApplication>

namespace nerim {

bool GuiAppActivity::isApplicationActive() const
{
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return true;
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
}

} // namespace nerim
