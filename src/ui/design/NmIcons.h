#pragma once

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>
#include <vector>

class QPainter;

namespace nerim {

// The weight a symbol is asked for in, as the design names it.
enum class NmSymbolWeight { light, regular, medium, semibold };

// The icon set's weights, one folder of SVG files each.
enum class NmIconWeight { light, regular, bold, fill };

// One symbol of the design and the icon that draws it: the icon set's file
// name (without weight suffix) and the weights shipped for it.
struct NmIconEntry {
    QString symbol;
    QString icon;
    std::vector<NmIconWeight> weights;
};

// The design names its icons with dotted symbol names ("xmark", "mic.fill");
// they are drawn with Phosphor icons (MIT licence, resources/icons), tinted
// with one colour and cached. Nothing here links Qt6::Svg: the build turns
// each SVG of resources/icons (kept as the source, not shipped in the
// executable) into the one filled path it draws (`nerim_icon_path_writer`,
// icon/IconPathWriter.cpp), and `image` fills that path scaled to the icon's
// square, antialiased in the tint colour (a missing or unreadable path gives
// a null image).
namespace NmIcons {

// Every symbol the screens use, with its icon and the weights shipped.
const std::vector<NmIconEntry> &table();
const NmIconEntry *entry(QStringView symbol);

// light → light; regular and medium → regular; semibold → bold; a symbol
// whose name ends in ".fill" is always the fill weight.
NmIconWeight iconWeight(QStringView symbol, NmSymbolWeight weight);

// The Qt resource path of the icon for `symbol` at `weight`
// (":/icons/<weight>/<file>.path", the filled path the build read from
// resources/icons/<weight>/<file>.svg); a weight that is not shipped for the
// symbol falls back to its regular file. None for a symbol outside the table.
std::optional<QString> resourcePath(QStringView symbol, NmSymbolWeight weight);
// The resource path of one shipped file.
QString resourcePath(const QString &icon, NmIconWeight weight);

// The side of the square an icon occupies at a symbol point size.
qreal boxSide(qreal pointSize);

// The icon drawn in `color` into a square of boxSide(pointSize) points at
// `devicePixelRatio`; cached by all arguments, filled from the icon's path
// resource. A null image for a symbol outside the table, or when that path is
// missing or unreadable.
QImage image(QStringView symbol, NmSymbolWeight weight, qreal pointSize, const QColor &color,
             qreal devicePixelRatio = 1.0);

// Paints the icon centred in `box`.
void paint(QPainter &painter, const QRectF &box, QStringView symbol, NmSymbolWeight weight, qreal pointSize,
           const QColor &color);

} // namespace NmIcons

} // namespace nerim
