#pragma once

#include "ui/design/NmIcons.h"

#include <QIcon>

namespace nerim::NmIcons {

// The icon as a QIcon for buttons and menu entries, in one colour, with
// pixmaps for normal and high-density screens.
QIcon icon(QStringView symbol, NmSymbolWeight weight, qreal pointSize, const QColor &color);

} // namespace nerim::NmIcons
