#include "foundation/DisplayPath.h"

#include <QDir>

namespace nerim {

QString pathForDisplay(const QString &path) { return pathForDisplay(path, QDir::homePath()); }

QString pathForDisplay(const QString &path, const QString &homeFolder)
{
    QString home = QDir::cleanPath(homeFolder);
    while (home.size() > 1 && home.endsWith(QLatin1Char('/')))
        home.chop(1);
    if (home.isEmpty() || home == QLatin1String("/"))
        return path;
    if (path == home)
        return QStringLiteral("~");
    if (path.startsWith(home + QLatin1Char('/')))
        return QLatin1Char('~') + path.mid(home.size());
    return path;
}

} // namespace nerim
