// A build step: turns each of the design's icons (an SVG of the icon set, in a
// 256-unit square) into the filled path it draws, so that the running
// application draws its icons with QPainter alone, without the SVG module.
//
//     nerim_icon_path_writer <source folder> <output folder> <icon.svg>...
//
// Each <icon.svg>, named relative to <source folder>, is rendered by
// QSvgRenderer into a paint device that keeps what is drawn instead of drawing
// it. The one filled path the icon draws, in the units of a 256 × 256 square,
// is written to <output folder>/<icon>.path (the same relative name, ending in
// .path instead of .svg) as NmIconPathFile.h says; NmIcons reads it.
//
// An icon that draws anything else (a stroke, an image, text, a gradient, a
// translucent fill, a clipped or more than one path), that draws nothing, or
// that QtSvg warns about fails the build, so no part of an icon is dropped
// without a word.
#include "ui/design/NmIconPathFile.h"

#include <QDir>
#include <QFileInfo>
#include <QPaintDevice>
#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>
#include <QSaveFile>
#include <QString>
#include <QStringList>
#include <QSvgRenderer>
#include <QtGlobal>

#include <cstdio>

namespace {

constexpr qreal kUnits = nerim::iconpath::units;

QStringList problems;

void complain(const QString &problem)
{
    if (!problems.contains(problem))
        problems.append(problem);
}

// Keeps every filled path drawn through it, mapped into device units; anything
// else it is asked to draw is noted as a problem.
class PathRecordingEngine final : public QPaintEngine
{
public:
    PathRecordingEngine()
        : QPaintEngine(QPaintEngine::AllFeatures)
    {
    }

    QList<QPainterPath> paths;

    bool begin(QPaintDevice *) override { return true; }
    bool end() override { return true; }
    Type type() const override { return QPaintEngine::User; }
    void updateState(const QPaintEngineState &) override {}

    void drawPath(const QPainterPath &path) override
    {
        const QPaintEngineState &s = *state;
        if (s.pen().style() != Qt::NoPen && s.pen().brush().style() != Qt::NoBrush)
            complain(QStringLiteral("draws a stroke"));
        if (s.brush().style() == Qt::NoBrush)
            return;
        if (s.brush().style() != Qt::SolidPattern)
            complain(QStringLiteral("draws a fill that is not one solid colour"));
        else if (s.brush().color().alpha() != 255 || s.opacity() != 1.0)
            complain(QStringLiteral("draws a translucent fill"));
        if (s.compositionMode() != QPainter::CompositionMode_SourceOver)
            complain(QStringLiteral("draws a fill that is not painted over"));
        if (painter() && painter()->hasClipping())
            complain(QStringLiteral("draws a clipped fill"));
        paths.append(s.transform().map(path));
    }
    void drawRects(const QRectF *rects, int count) override
    {
        for (int i = 0; i < count; ++i) {
            QPainterPath path;
            path.addRect(rects[i]);
            drawPath(path);
        }
    }
    void drawRects(const QRect *rects, int count) override
    {
        for (int i = 0; i < count; ++i) {
            const QRectF rect(rects[i]);
            drawRects(&rect, 1);
        }
    }
    void drawEllipse(const QRectF &rect) override
    {
        QPainterPath path;
        path.addEllipse(rect);
        drawPath(path);
    }
    void drawEllipse(const QRect &rect) override { drawEllipse(QRectF(rect)); }
    void drawPolygon(const QPointF *points, int count, PolygonDrawMode mode) override
    {
        if (mode == PolylineMode) {
            complain(QStringLiteral("draws a polyline"));
            return;
        }
        QPainterPath path;
        path.addPolygon(QPolygonF(QList<QPointF>(points, points + count)));
        path.closeSubpath();
        path.setFillRule(mode == WindingMode ? Qt::WindingFill : Qt::OddEvenFill);
        drawPath(path);
    }
    void drawPolygon(const QPoint *points, int count, PolygonDrawMode mode) override
    {
        QList<QPointF> real;
        for (int i = 0; i < count; ++i)
            real.append(QPointF(points[i]));
        drawPolygon(real.constData(), count, mode);
    }
    void drawLines(const QLineF *, int) override { complain(QStringLiteral("draws a line")); }
    void drawLines(const QLine *, int) override { complain(QStringLiteral("draws a line")); }
    void drawPoints(const QPointF *, int) override { complain(QStringLiteral("draws a point")); }
    void drawPoints(const QPoint *, int) override { complain(QStringLiteral("draws a point")); }
    void drawTextItem(const QPointF &, const QTextItem &) override { complain(QStringLiteral("draws text")); }
    void drawPixmap(const QRectF &, const QPixmap &, const QRectF &) override
    {
        complain(QStringLiteral("draws an image"));
    }
    void drawTiledPixmap(const QRectF &, const QPixmap &, const QPointF &) override
    {
        complain(QStringLiteral("draws an image"));
    }
    void drawImage(const QRectF &, const QImage &, const QRectF &, Qt::ImageConversionFlags) override
    {
        complain(QStringLiteral("draws an image"));
    }
};

class PathRecordingDevice final : public QPaintDevice
{
public:
    PathRecordingEngine engine;

    QPaintEngine *paintEngine() const override { return const_cast<PathRecordingEngine *>(&engine); }

protected:
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth:
        case PdmHeight: return int(kUnits);
        case PdmWidthMM:
        case PdmHeightMM: return int(kUnits * 25.4 / 96);
        case PdmNumColors: return 0;
        case PdmDepth: return 32;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY: return 96;
        case PdmDevicePixelRatio: return 1;
        case PdmDevicePixelRatioScaled: return int(devicePixelRatioFScale());
        }
        return 0;
    }
};

QString current;

// QtSvg's warnings count as problems of the icon being read; a fatal message
// (QtSvg drawing text needs a font database, which this program has not) is
// said with the icon's name before the program ends.
void noteWarnings(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s: reading it ends the program: %s\n", qPrintable(current), qPrintable(message));
        return;
    }
    if (type != QtDebugMsg && type != QtInfoMsg)
        complain(QStringLiteral("makes QtSvg warn: ") + message);
}

// The one filled path `svg` draws in a 256-unit square, or a description of
// what keeps it from being one.
bool recordPath(const QString &svg, QPainterPath &path, QString &why)
{
    problems.clear();
    current = svg;
    const QtMessageHandler previous = qInstallMessageHandler(noteWarnings);
    PathRecordingDevice device;
    {
        QSvgRenderer renderer(svg);
        if (!renderer.isValid()) {
            complain(QStringLiteral("is not a readable SVG"));
        } else {
            QPainter painter(&device);
            renderer.render(&painter, QRectF(0, 0, kUnits, kUnits));
        }
    }
    qInstallMessageHandler(previous);
    if (problems.isEmpty() && device.engine.paths.size() != 1)
        complain(device.engine.paths.isEmpty()
                     ? QStringLiteral("draws no filled path")
                     : QStringLiteral("draws %1 filled paths").arg(device.engine.paths.size()));
    if (!problems.isEmpty()) {
        why = problems.join(QStringLiteral("; ")) +
              QStringLiteral(" (an icon must draw one filled path of one opaque colour)");
        return false;
    }
    path = device.engine.paths.constFirst();
    return true;
}

bool writePath(const QString &file, const QPainterPath &path)
{
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        return false;
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    return nerim::iconpath::write(out, path) && out.commit();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <source folder> <output folder> <icon.svg>...\n", argv[0]);
        return 2;
    }
    const QDir source(QString::fromLocal8Bit(argv[1]));
    const QDir output(QString::fromLocal8Bit(argv[2]));
    int failed = 0;
    for (int i = 3; i < argc; ++i) {
        const QString name = QString::fromLocal8Bit(argv[i]);
        if (!name.endsWith(QLatin1String(".svg"))) {
            std::fprintf(stderr, "%s: %s is not named .svg\n", argv[0], argv[i]);
            return 2;
        }
        QPainterPath path;
        QString why;
        if (!recordPath(source.filePath(name), path, why)) {
            std::fprintf(stderr, "%s: %s %s\n", argv[0], qPrintable(source.filePath(name)), qPrintable(why));
            ++failed;
            continue;
        }
        const QString target = output.filePath(name.chopped(4) + QLatin1String(".path"));
        if (!writePath(target, path)) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(target));
            ++failed;
        }
    }
    return failed == 0 ? 0 : 1;
}
