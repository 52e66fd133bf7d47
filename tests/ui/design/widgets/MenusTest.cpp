#include "DesignWidgetsTestSupport.h"

#include "ui/design/Colors.h"
#include "ui/design/widgets/NmMenus.h"

#include <QMenu>

namespace nerim {
namespace {

using test::channelDistance;

// Pixels of `image` within `rect` (in points) close to `colour`.
int pixelsLike(const QImage &image, const QRect &rect, QColor colour)
{
    const qreal ratio = image.devicePixelRatio();
    const QRect area(QPoint(int(rect.left() * ratio), int(rect.top() * ratio)), rect.size() * ratio);
    int count = 0;
    for (int y = area.top(); y <= area.bottom() && y < image.height(); ++y)
        for (int x = area.left(); x <= area.right() && x < image.width(); ++x)
            if (channelDistance(image.pixelColor(x, y), colour) <= 24)
                ++count;
    return count;
}

TEST(MenusTest, ADestructiveActionIsDrawnInTheDangerColourAndOnlyIt)
{
    QMenu menu;
    QAction *open = menu.addAction(QStringLiteral("Open"));
    QAction *remove = menu.addAction(QStringLiteral("Remove from Nerim\u2026"));
    NmMenus::markDestructive(remove);
    EXPECT_TRUE(NmMenus::isDestructive(remove));
    EXPECT_FALSE(NmMenus::isDestructive(open));
    // Marking twice installs nothing more.
    NmMenus::markDestructive(remove);

    menu.adjustSize();
    const QImage image = menu.grab().toImage();
    const QColor danger = qColor(NmColor::danger);
    EXPECT_GT(pixelsLike(image, menu.actionGeometry(remove), danger), 0);
    EXPECT_EQ(pixelsLike(image, menu.actionGeometry(open), danger), 0);
}

} // namespace
} // namespace nerim
