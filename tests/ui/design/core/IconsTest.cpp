#include "ui/design/NmIcons.h"

#include "ui/design/NmIconPathFile.h"

#include <QBuffer>
#include <QFile>
#include <QPainter>
#include <QSet>
#include <QSvgRenderer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace nerim {
namespace {

// The icon set's SVG file that a path resource was read from.
QString svgFileOf(const QString &resource)
{
    QString relative = resource.mid(int(qstrlen(":/icons/")));
    relative.chop(int(qstrlen(".path")));
    return QStringLiteral(NERIM_ICON_SOURCE_DIR "/") + relative + QLatin1String(".svg");
}

TEST(IconsTest, EveryShippedIconOfTheTableLoads)
{
    int files = 0;
    for (const NmIconEntry &entry : NmIcons::table()) {
        ASSERT_FALSE(entry.weights.empty()) << entry.symbol.toStdString();
        for (NmIconWeight weight : entry.weights) {
            const QString path = NmIcons::resourcePath(entry.icon, weight);
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
            const std::optional<QPainterPath> drawn = iconpath::read(file);
            ASSERT_TRUE(drawn.has_value()) << path.toStdString();
            EXPECT_FALSE(drawn->isEmpty()) << path.toStdString();
            EXPECT_TRUE(QSvgRenderer(svgFileOf(path)).isValid()) << path.toStdString();
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
        {"xmark", S::semibold, ":/icons/bold/x-bold.path"},
        {"xmark", S::medium, ":/icons/regular/x.path"},
        {"xmark", S::regular, ":/icons/regular/x.path"},
        {"sparkles", S::light, ":/icons/light/sparkle-light.path"},
        {"gearshape", S::medium, ":/icons/regular/gear.path"},
        {"mic.fill", S::regular, ":/icons/fill/microphone-fill.path"},
        {"person.fill", S::semibold, ":/icons/fill/user-fill.path"},
        // Asked for a weight that is not shipped: the regular file.
        {"folder", S::light, ":/icons/regular/folder.path"},
        // chevron.down only ships bold, and any weight draws with it.
        {"chevron.down", S::regular, ":/icons/bold/caret-down-bold.path"},
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

// What the icon's SVG file draws into a square of `side` pixels, tinted: the
// file rendered, then its pixels given the colour and kept at their coverage.
QImage drawnFromSvg(const QString &svgFile, int side, const QColor &color)
{
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(svgFile);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter, QRectF(0, 0, side, side));
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

// The largest difference of one channel of one pixel (premultiplied).
int largestDifference(const QImage &a, const QImage &b)
{
    int largest = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *rowA = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *rowB = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            largest = std::max({largest, std::abs(qRed(rowA[x]) - qRed(rowB[x])),
                                std::abs(qGreen(rowA[x]) - qGreen(rowB[x])),
                                std::abs(qBlue(rowA[x]) - qBlue(rowB[x])),
                                std::abs(qAlpha(rowA[x]) - qAlpha(rowB[x]))});
        }
    }
    return largest;
}

TEST(IconsTest, EveryIconDrawsWhatItsSvgFileDraws)
{
    // Rounding of the coverage differs by a step between the two ways of tinting.
    constexpr int kTolerance = 1;
    const QColor tints[] = {QColor(176, 138, 80), QColor(30, 60, 200, 128)};
    const NmSymbolWeight symbolWeights[] = {NmSymbolWeight::light, NmSymbolWeight::regular,
                                            NmSymbolWeight::medium, NmSymbolWeight::semibold};
    QSet<QString> shipped;
    for (const NmIconEntry &entry : NmIcons::table())
        for (NmIconWeight weight : entry.weights)
            shipped.insert(NmIcons::resourcePath(entry.icon, weight));
    QSet<QString> compared;
    for (const NmIconEntry &entry : NmIcons::table()) {
        for (NmSymbolWeight symbolWeight : symbolWeights) {
            const QString resource = *NmIcons::resourcePath(entry.symbol, symbolWeight);
            const QString svgFile = svgFileOf(resource);
            for (qreal points : {14.0, 20.0, 32.0}) {
                for (qreal dpr : {1.0, 2.0}) {
                    for (const QColor &tint : tints) {
                        SCOPED_TRACE(QStringLiteral("%1 at %2 pt × %3 in %4")
                                         .arg(resource)
                                         .arg(points)
                                         .arg(dpr)
                                         .arg(tint.name(QColor::HexArgb))
                                         .toStdString());
                        const QImage icon = NmIcons::image(entry.symbol, symbolWeight, points, tint, dpr);
                        ASSERT_FALSE(icon.isNull());
                        const int side = int(std::lround(points * 1.2 * dpr));
                        ASSERT_EQ(icon.size(), QSize(side, side));
                        EXPECT_EQ(icon.devicePixelRatio(), dpr);
                        const QImage expected = drawnFromSvg(svgFile, side, tint);
                        EXPECT_LE(largestDifference(icon.convertToFormat(QImage::Format_ARGB32_Premultiplied),
                                                    expected),
                                  kTolerance);
                    }
                }
            }
            compared.insert(resource);
        }
    }
    EXPECT_EQ(compared, shipped);
}

TEST(IconsTest, ATranslucentTintKeepsItsAlpha)
{
    const QColor tint(200, 40, 40, 96);
    const QImage icon = NmIcons::image(u"checkmark.circle.fill", NmSymbolWeight::regular, 20, tint, 1.0);
    ASSERT_FALSE(icon.isNull());
    int covered = 0;
    for (int y = 0; y < icon.height(); ++y) {
        for (int x = 0; x < icon.width(); ++x) {
            const QColor c = icon.pixelColor(x, y);
            EXPECT_LE(c.alpha(), tint.alpha());
            if (c.alpha() == tint.alpha()) {
                ++covered;
                EXPECT_NEAR(c.red(), tint.red(), 2);
                EXPECT_NEAR(c.green(), tint.green(), 2);
                EXPECT_NEAR(c.blue(), tint.blue(), 2);
            }
        }
    }
    EXPECT_GT(covered, 100);
}

TEST(IconsTest, APathFileReadsOnlyWhenItIsOnePathWhole)
{
    QPainterPath path;
    path.moveTo(10, 20);
    path.cubicTo(40, 0, 80, 60, 120, 30);
    path.lineTo(200, 250);
    path.closeSubpath();
    path.setFillRule(Qt::OddEvenFill);
    QBuffer written;
    written.open(QIODevice::WriteOnly);
    ASSERT_TRUE(iconpath::write(written, path));
    const QByteArray bytes = written.data();

    const auto readBack = [](QByteArray data) {
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        return iconpath::read(buffer);
    };
    const std::optional<QPainterPath> whole = readBack(bytes);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(*whole, path);
    EXPECT_EQ(whole->fillRule(), Qt::OddEvenFill);

    EXPECT_FALSE(readBack(bytes.chopped(1)).has_value());
    EXPECT_FALSE(readBack(bytes + QByteArray(1, '\0')).has_value());
    EXPECT_FALSE(readBack(QByteArray()).has_value());
    QByteArray otherMagic = bytes;
    otherMagic[0] = char(otherMagic[0] ^ 1);
    EXPECT_FALSE(readBack(otherMagic).has_value());
}

} // namespace
} // namespace nerim
