#include "panes-store/PanesFilePlace.h"

#include "foundation/Log.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/FileCalls.h"
#include "persistence/MemoryError.h"
#include "persistence/SetAside.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace nerim::panesChangeLog {

namespace {

QString fileName(const QString &path) { return QFileInfo(path).fileName(); }

} // namespace

int openIn(const Place &place, int flags)
{
    return BeneathFolder::openAt(place.folder.fd(), place.native(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

std::optional<QString> setAside(const QString &path, QStringView tag)
{
    std::optional<Place> place;
    try {
        place = placeOf(path);
    } catch (...) {
        logLine(QStringLiteral("[Nerim panes] could not move %1 aside (%2); it is kept and nothing is saved over it")
                    .arg(path, AtomicFileWriter::describeFailure(std::current_exception())));
        return std::nullopt;
    }
    if (!place) {
        errno = ENOENT;
        logLine(QStringLiteral("[Nerim panes] could not move %1 aside (%2); it is kept and nothing is saved over it")
                    .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        return std::nullopt;
    }
    return setAside(*place, tag);
}

std::optional<QString> setAside(const Place &place, QStringView tag)
{
    const QString path = place.path();
    const std::optional<QString> aside = setAside::moveWithin(place.folder, place.name, tag);
    if (!aside) {
        const int error = errno;
        logLine(QStringLiteral("[Nerim panes] could not move %1 aside (%2); it is kept and nothing is saved over it")
                    .arg(path, QString::fromLocal8Bit(std::strerror(error))));
        errno = error;
        return std::nullopt;
    }
    const QString asidePath = place.folder.filePath(*aside);
    logLine(QStringLiteral("[Nerim panes] moved %1 aside to %2").arg(path, asidePath));
    return asidePath;
}

QByteArray Place::native() const { return QFile::encodeName(name); }

std::optional<Place> placeOf(const QString &path)
{
    const QString project = IntentProcessorConstants::projectOfDataFile(path);
    try {
        if (project.isEmpty()) {
            // Not in a project (Nerim's own files, a test's folder): by path.
            const QFileInfo info(path);
            if (!info.dir().exists())
                return std::nullopt;
            return Place{BeneathFolder::atPath(info.absolutePath()), info.fileName()};
        }
        QString name;
        BeneathFolder folder = BeneathFolder::holding(project, path, BeneathFolder::Create::nothing, &name);
        return Place{std::move(folder), name};
    } catch (const BeneathFolder::Missing &) {
        return std::nullopt;
    } catch (const std::exception &error) {
        throw MemoryError::writeFailed(path, QString::fromUtf8(error.what()));
    }
}

void removeFile(const QString &path)
{
    if (const std::optional<Place> place = lookAt(path))
        fileCalls::unlinkAt(place->folder.fd(), place->native().constData());
}

std::optional<AtomicFileWriter::FileIdentity> identityAt(const QString &path)
{
    if (const std::optional<Place> place = lookAt(path))
        return AtomicFileWriter::FileIdentity::of(place->folder.fd(), place->name);
    return std::nullopt;
}

int openForReading(const QString &path)
{
    if (const std::optional<Place> place = lookAt(path))
        return openIn(*place, O_RDONLY);
    return -1;
}

std::optional<Place> lookAt(const QString &path)
{
    try {
        return placeOf(path);
    } catch (const MemoryError &error) {
        logLine(QStringLiteral("[Nerim panes] left %1 alone: %2").arg(fileName(path), error.underlyingReason()));
        return std::nullopt;
    }
}

} // namespace nerim::panesChangeLog
