#include "ui/design/widgets/NmIconImage.h"

#include <QPixmap>

namespace nerim::NmIcons {

QIcon icon(QStringView symbol, NmSymbolWeight weight, qreal pointSize, const QColor &color)
{
    QIcon result;
    for (qreal dpr : {1.0, 2.0}) {
        const QImage image = NmIcons::image(symbol, weight, pointSize, color, dpr);
        if (!image.isNull())
            result.addPixmap(QPixmap::fromImage(image));
    }
    return result;
}

} // namespace nerim::NmIcons
