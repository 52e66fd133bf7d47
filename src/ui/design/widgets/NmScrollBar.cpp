#include "ui/design/widgets/NmScrollBar.h"

#include <QScrollBar>

namespace nerim::NmScrollBar {

void styleSlimVertical(QScrollBar *bar, const QColor &handle)
{
    bar->setStyleSheet(
        QStringLiteral("QScrollBar:vertical { width: 7px; background: transparent; margin: 2px 1px 2px 0; }"
                       "QScrollBar::handle:vertical { background: %1; border-radius: 3px; min-height: 24px; }"
                       "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
                       "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }")
            .arg(handle.name(QColor::HexArgb)));
}

} // namespace nerim::NmScrollBar
