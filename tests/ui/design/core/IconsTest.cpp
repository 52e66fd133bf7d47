#include "ui/design/NmIcons.h"

#include <QSvgRenderer>
#include <gtest/gtest.h>

namespace nerim {
namespace {

TEST(IconsTest, EveryShippedIconOfTheTableLoads)
{
    int files = 0;
    for (const NmIconEntry &entry : NmIcons::table()) {
        ASSERT_FALSE(entry.weights.empty()) << entry.symbol.toStdString();
        for (NmIconWeight weight : entry.weights) {
            const QString path = NmIcons::resourcePath(entry.icon, weight);
            QSvgRenderer renderer(path);
            EXPECT_TRUE(renderer.isValid()) << path.toStdString();
            ++files;
        }
    }
    EXPECT_GT(files, 30);
}

TEST(IconsTest, CoversEverySymbolTheScreensName)
{
    const char *symbols[] = {
        "person.fill", "paintbrush.fill", "server.rack", "magnifyingglass", "cylinder.split.1x2",
        "square.on.circle", "chevron.left.forwardslash.chevron.right", "xmark", "chevron.down", "checkmark",
        "checkmark.circle.fill", "plus", "arrow.up", "arrow.up.left.and.arrow.down.right",
        "arrow.down.right.and.arrow.up.left", "exclamationmark.triangle", "doc.on.doc", "wand.and.stars",
        "sparkles", "person.crop.circle", "list.bullet.rectangle", "cpu", "mic", "mic.fill", "eye", "eye.fill",
        "folder", "hammer", "square.grid.2x2", "square.and.pencil", "gearshape",
    };
    for (const char *symbol : symbols)
        EXPECT_NE(NmIcons::entry(QString::fromLatin1(symbol)), nullptr) << symbol;
}

TEST(IconsTest, WeightsMapToTheIconSetAndFallBackToRegular)
{
    using S = NmSymbolWeight;
    const struct {
        const char *symbol;
        S weight;
        const char *path;
    } cases[] = {
        {"xmark", S::semibold, ":/icons/bold/x-bold.svg"},
        {"xmark", S::medium, ":/icons/regular/x.svg"},
        {"xmark", S::regular, ":/icons/regular/x.svg"},
        {"sparkles", S::light, ":/icons/light/sparkle-light.svg"},
        {"gearshape", S::medium, ":/icons/regular/gear.svg"},
        {"mic.fill", S::regular, ":/icons/fill/microphone-fill.svg"},
        {"person.fill", S::semibold, ":/icons/fill/user-fill.svg"},
        // Asked for a weight that is not shipped: the regular file.
        {"folder", S::light, ":/icons/regular/folder.svg"},
        // chevron.down only ships bold, and any weight draws with it.
        {"chevron.down", S::regular, ":/icons/bold/caret-down-bold.svg"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.symbol);
        const auto path = NmIcons::resourcePath(QString::fromLatin1(c.symbol), c.weight);
        ASSERT_TRUE(path.has_value());
        EXPECT_EQ(*path, QLatin1String(c.path));
    }
    EXPECT_FALSE(NmIcons::resourcePath(u"no.such.symbol", S::regular).has_value());
    EXPECT_TRUE(NmIcons::image(u"no.such.symbol", S::regular, 12, Qt::black).isNull());
}

TEST(IconsTest, ImagesAreTintedInTheirColourAndScaledByThePixelRatio)
{
    const QColor tint(176, 138, 80);
    const QImage icon = NmIcons::image(u"checkmark.circle.fill", NmSymbolWeight::regular, 20, tint, 2.0);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.width(), 48); // 20 pt × 1.2 × 2
    EXPECT_EQ(icon.devicePixelRatio(), 2.0);
    int opaque = 0;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            const QColor c = icon.pixelColor(x, y);
            if (c.alpha() == 255) {
                ++opaque;
                EXPECT_EQ(c.rgb(), tint.rgb());
            }
        }
    }
    EXPECT_GT(opaque, 100);
}

} // namespace
} // namespace nerim
