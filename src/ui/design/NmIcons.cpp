#include "ui/design/NmIcons.h"

#include "ui/design/NmIconPathFile.h"

#include <QCache>
#include <QFile>
#include <QMutex>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace nerim::NmIcons {

namespace {

using W = NmIconWeight;

// Symbol points to icon square: the icon set leaves a margin around its
// glyphs, so the square is a little larger than the type size it stands beside.
constexpr qreal kBoxPerPoint = 1.2;

QString folder(NmIconWeight weight)
{
    switch (weight) {
    case W::light: return QStringLiteral("light");
    case W::regular: return QStringLiteral("regular");
    case W::bold: return QStringLiteral("bold");
    case W::fill: return QStringLiteral("fill");
    }
    return QStringLiteral("regular");
}

} // namespace

const std::vector<NmIconEntry> &table()
{
    static const std::vector<NmIconEntry> entries = {
        // Roles.
        {QStringLiteral("person.fill"), QStringLiteral("user"), {W::fill}},
        {QStringLiteral("paintbrush.fill"), QStringLiteral("paint-brush"), {W::fill}},
        {QStringLiteral("server.rack"), QStringLiteral("hard-drives"), {W::regular}},
        {QStringLiteral("magnifyingglass"), QStringLiteral("magnifying-glass"), {W::regular}},
        {QStringLiteral("cylinder.split.1x2"), QStringLiteral("database"), {W::regular}},
        {QStringLiteral("square.on.circle"), QStringLiteral("shapes"), {W::regular}},
        {QStringLiteral("chevron.left.forwardslash.chevron.right"), QStringLiteral("code"), {W::regular}},
        // Controls and marks.
        {QStringLiteral("xmark"), QStringLiteral("x"), {W::regular, W::bold}},
        {QStringLiteral("chevron.down"), QStringLiteral("caret-down"), {W::bold}},
        {QStringLiteral("checkmark"), QStringLiteral("check"), {W::regular, W::bold}},
        {QStringLiteral("checkmark.circle.fill"), QStringLiteral("check-circle"), {W::fill}},
        {QStringLiteral("plus"), QStringLiteral("plus"), {W::light, W::regular}},
        {QStringLiteral("arrow.up"), QStringLiteral("arrow-up"), {W::regular}},
        {QStringLiteral("arrow.up.left.and.arrow.down.right"), QStringLiteral("arrows-out"), {W::regular}},
        {QStringLiteral("arrow.down.right.and.arrow.up.left"), QStringLiteral("arrows-in"), {W::regular}},
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("warning"), {W::regular}},
        {QStringLiteral("doc.on.doc"), QStringLiteral("copy"), {W::regular}},
        {QStringLiteral("wand.and.stars"), QStringLiteral("magic-wand"), {W::regular}},
        {QStringLiteral("sparkles"), QStringLiteral("sparkle"), {W::light, W::regular}},
        {QStringLiteral("person.crop.circle"), QStringLiteral("user-circle"), {W::regular}},
        {QStringLiteral("list.bullet.rectangle"), QStringLiteral("list-bullets"), {W::regular}},
        {QStringLiteral("cpu"), QStringLiteral("cpu"), {W::regular}},
        // Voice.
        {QStringLiteral("mic"), QStringLiteral("microphone"), {W::regular}},
        {QStringLiteral("mic.fill"), QStringLiteral("microphone"), {W::fill}},
        // Header toggles.
        {QStringLiteral("eye"), QStringLiteral("eye"), {W::regular}},
        {QStringLiteral("eye.fill"), QStringLiteral("eye"), {W::fill}},
        // Projects and the sidebar.
        {QStringLiteral("folder"), QStringLiteral("folder"), {W::regular}},
        {QStringLiteral("hammer"), QStringLiteral("hammer"), {W::regular}},
        {QStringLiteral("square.grid.2x2"), QStringLiteral("squares-four"), {W::light, W::regular}},
        {QStringLiteral("square.and.pencil"), QStringLiteral("note-pencil"), {W::light, W::regular}},
        {QStringLiteral("gearshape"), QStringLiteral("gear"), {W::light, W::regular}},
        // The Plans and preview panels and the repair banner.
        {QStringLiteral("folder.badge.gearshape"), QStringLiteral("folder-star"), {W::regular}},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("arrow-clockwise"), {W::regular, W::bold}},
        {QStringLiteral("arrow.right"), QStringLiteral("arrow-right"), {W::regular}},
        {QStringLiteral("chevron.left"), QStringLiteral("caret-left"), {W::regular, W::bold}},
        {QStringLiteral("chevron.right"), QStringLiteral("caret-right"), {W::regular}},
        {QStringLiteral("doc"), QStringLiteral("file"), {W::regular}},
        {QStringLiteral("doc.text"), QStringLiteral("file-text"), {W::regular}},
        {QStringLiteral("exclamationmark.triangle.fill"), QStringLiteral("warning"), {W::fill}},
        {QStringLiteral("exclamationmark.circle.fill"), QStringLiteral("warning-circle"), {W::fill}},
        {QStringLiteral("globe"), QStringLiteral("globe"), {W::regular}},
        {QStringLiteral("globe.americas"), QStringLiteral("globe-hemisphere-west"), {W::light}},
        {QStringLiteral("key.horizontal"), QStringLiteral("key"), {W::regular}},
        // Settings: the credential mode and the verification result.
        {QStringLiteral("checkmark.seal.fill"), QStringLiteral("seal-check"), {W::fill}},
        {QStringLiteral("key.fill"), QStringLiteral("key"), {W::fill}},
        {QStringLiteral("xmark.octagon.fill"), QStringLiteral("x-circle"), {W::fill}},
        // Deploy: the pill and the Live menu.
        {QStringLiteral("arrow.up.circle"), QStringLiteral("arrow-circle-up"), {W::regular}},
        {QStringLiteral("arrow.up.right.square"), QStringLiteral("arrow-square-out"), {W::regular}},
        {QStringLiteral("arrow.clockwise.circle"), QStringLiteral("arrow-clockwise"), {W::regular}},
        {QStringLiteral("text.append"), QStringLiteral("text-align-left"), {W::regular}},
        {QStringLiteral("arrow.triangle.branch"), QStringLiteral("git-branch"), {W::regular}},
        {QStringLiteral("arrow.uturn.backward.circle"), QStringLiteral("arrow-u-up-left"), {W::regular}},
        {QStringLiteral("pin.slash"), QStringLiteral("push-pin-slash"), {W::regular}},
        // Deploy destinations and deploy cards.
        {QStringLiteral("circle"), QStringLiteral("circle"), {W::regular}},
        {QStringLiteral("triangle.fill"), QStringLiteral("triangle"), {W::fill}},
        {QStringLiteral("tram.fill"), QStringLiteral("tram"), {W::fill}},
        {QStringLiteral("bolt.fill"), QStringLiteral("lightning"), {W::fill}},
        {QStringLiteral("checklist"), QStringLiteral("list-checks"), {W::regular}},
        {QStringLiteral("lock.rectangle.on.rectangle"), QStringLiteral("lock"), {W::regular}},
    };
    return entries;
}

const NmIconEntry *entry(QStringView symbol)
{
    const auto &entries = table();
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [symbol](const NmIconEntry &e) { return e.symbol == symbol; });
    return it == entries.end() ? nullptr : &*it;
}

NmIconWeight iconWeight(QStringView symbol, NmSymbolWeight weight)
{
    if (symbol.endsWith(QLatin1String(".fill")))
        return W::fill;
    switch (weight) {
    case NmSymbolWeight::light: return W::light;
    case NmSymbolWeight::regular:
    case NmSymbolWeight::medium: return W::regular;
    case NmSymbolWeight::semibold: return W::bold;
    }
    return W::regular;
}

QString resourcePath(const QString &icon, NmIconWeight weight)
{
    const QString suffix = weight == W::regular ? QString() : QLatin1Char('-') + folder(weight);
    return QStringLiteral(":/icons/%1/%2%3.path").arg(folder(weight), icon, suffix);
}

std::optional<QString> resourcePath(QStringView symbol, NmSymbolWeight weight)
{
    const NmIconEntry *e = entry(symbol);
    if (!e)
        return std::nullopt;
    NmIconWeight wanted = iconWeight(symbol, weight);
    if (std::find(e->weights.begin(), e->weights.end(), wanted) == e->weights.end())
        wanted = std::find(e->weights.begin(), e->weights.end(), W::regular) != e->weights.end() ? W::regular
                                                                                                  : e->weights.front();
    return resourcePath(e->icon, wanted);
}

qreal boxSide(qreal pointSize)
{
    return pointSize * kBoxPerPoint;
}

namespace {

QMutex cacheMutex;
QCache<QString, QImage> &cache()
{
    static QCache<QString, QImage> images(400);
    return images;
}

// The filled path the build read from the icon's SVG file (see NmIconPathFile.h).
std::optional<QPainterPath> readPath(const QString &resource)
{
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return iconpath::read(file);
}

} // namespace

QImage image(QStringView symbol, NmSymbolWeight weight, qreal pointSize, const QColor &color, qreal dpr)
{
    const std::optional<QString> resource = resourcePath(symbol, weight);
    if (!resource)
        return QImage();
    const QString key = QStringLiteral("%1|%2|%3|%4").arg(*resource).arg(pointSize).arg(color.rgba(), 0, 16).arg(dpr);
    {
        QMutexLocker lock(&cacheMutex);
        if (const QImage *cached = cache().object(key))
            return *cached;
    }
    const std::optional<QPainterPath> path = readPath(*resource);
    if (!path)
        return QImage();
    const int side = std::max(1, int(std::lround(boxSide(pointSize) * dpr)));
    QImage result(side, side, QImage::Format_ARGB32_Premultiplied);
    result.fill(Qt::transparent);
    {
        // The icon's coverage in the tint colour: what filling the icon and
        // then tinting its pixels with the colour would leave.
        QPainter painter(&result);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(side / iconpath::units, side / iconpath::units);
        painter.setPen(Qt::NoPen);
        painter.setBrush(color);
        painter.drawPath(*path);
    }
    result.setDevicePixelRatio(dpr);
    QMutexLocker lock(&cacheMutex);
    cache().insert(key, new QImage(result));
    return result;
}

void paint(QPainter &painter, const QRectF &box, QStringView symbol, NmSymbolWeight weight, qreal pointSize,
           const QColor &color)
{
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage icon = image(symbol, weight, pointSize, color, dpr);
    if (icon.isNull())
        return;
    const qreal side = boxSide(pointSize);
    const QRectF target(box.center().x() - side / 2, box.center().y() - side / 2, side, side);
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, icon);
    painter.restore();
}

} // namespace nerim::NmIcons
