#pragma once

#include <QDataStream>
#include <QIODevice>
#include <QPainterPath>

#include <optional>

// The file an icon's path is kept in: the build reads each SVG file of the icon
// set into the one filled path it draws, in a square of `units` units
// (icon/IconPathWriter.cpp), and NmIcons fills it, so that the running
// application draws its icons without an SVG renderer. The file is a magic
// number and the QPainterPath (its elements and fill rule), both written with
// QDataStream at a fixed version, and nothing after them.
namespace nerim::iconpath {

inline constexpr qreal units = 256;
inline constexpr quint32 magic = 0x4e6d4950; // "NmIP"
inline constexpr int streamVersion = QDataStream::Qt_6_0;

inline bool write(QIODevice &device, const QPainterPath &path)
{
    QDataStream stream(&device);
    stream.setVersion(streamVersion);
    stream << magic << path;
    return stream.status() == QDataStream::Ok;
}

// None for a file that is not exactly one path written by write().
inline std::optional<QPainterPath> read(QIODevice &device)
{
    QDataStream stream(&device);
    stream.setVersion(streamVersion);
    quint32 found = 0;
    QPainterPath path;
    stream >> found >> path;
    if (stream.status() != QDataStream::Ok || found != magic || !stream.atEnd())
        return std::nullopt;
    return path;
}

} // namespace nerim::iconpath
