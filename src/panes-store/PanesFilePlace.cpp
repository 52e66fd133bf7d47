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
#include <sys/stat.h>

namespace nerim::panesChangeLog {

namespace {

QString fileName(const QString &path) { return QFileInfo(path).fileName(); }

// The door of the project whose `.nerim` holds `path`, when one is open here.
std::shared_ptr<ProjectDataFolder> doorOf(const QString &path)
{
    const QString project = IntentProcessorConstants::projectOfDataFile(path);
    if (project.isEmpty())
        return nullptr;
    return ProjectDataFolder::openDoorOf(project + QStringLiteral("/.nerim"));
}

std::optional<QString> refusalOf(const ProjectDataFolder &door)
{
    if (door.canWrite())
        return std::nullopt;
    if (door.access() == ProjectDataFolder::Access::readOnly)
        return QStringLiteral("this project is open in another Nerim");
    // The folder moved away is said by the failed save alone; a lost lock
    // the door also tells once itself (the project then stops saving).
    struct stat held {};
    struct stat named {};
    const bool inPlace = ::fstat(door.folder().fd(), &held) == 0 &&
                         ::lstat(QFile::encodeName(door.path()).constData(), &named) == 0 && S_ISDIR(named.st_mode) &&
                         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
    if (!inPlace)
        return QStringLiteral("this project's .nerim folder was moved or replaced");
    try {
        door.checkWritable(ProjectDataFolder::Kind::panes);
    } catch (const ProjectDataFolder::NotWriter &) {
        return QStringLiteral("this project's lock file was replaced, so another Nerim may be writing it");
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> Place::refusal() const
{
    if (!door)
        return std::nullopt;
    return refusalOf(*door);
}

void Place::checkWritable() const
{
    if (const std::optional<QString> why = refusal())
        throw MemoryError::writeFailed(path(), *why);
}

void checkWritable(const QString &path)
{
    if (const std::shared_ptr<ProjectDataFolder> door = doorOf(path)) {
        if (const std::optional<QString> why = refusalOf(*door))
            throw MemoryError::writeFailed(path, *why);
    }
}

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
    if (const std::optional<QString> why = place.refusal()) {
        logLine(QStringLiteral("[Nerim panes] did not move %1 aside: %2").arg(path, *why));
        errno = EPERM;
        return std::nullopt;
    }
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
        if (std::shared_ptr<ProjectDataFolder> door = doorOf(path)) {
            // Within the folder the door holds open, whatever is at its name now.
            const QString within = BeneathFolder::relativeWithin(door->path(), path);
            const qsizetype slash = within.lastIndexOf(QLatin1Char('/'));
            BeneathFolder folder = door->folder().folder(slash < 0 ? QString() : within.left(slash));
            return Place{std::move(folder), within.mid(slash + 1), std::move(door)};
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
    const std::optional<Place> place = lookAt(path);
    if (!place)
        return;
    if (const std::optional<QString> why = place->refusal()) {
        logLine(QStringLiteral("[Nerim panes] left %1 in place: %2").arg(fileName(path), *why));
        return;
    }
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
