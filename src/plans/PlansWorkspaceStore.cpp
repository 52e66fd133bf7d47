#include "plans/PlansWorkspaceStore.h"

#include "foundation/BeneathFolder.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"
#include "persistence/ProjectDataFolder.h"

#include <QCollator>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace nerim {

namespace {

// The plans folder, opened beneath the project (or, for a plans folder that
// lies in no project's data folder, as itself) without following any link;
// it and the data folder above it are made when missing, the project folder
// never is. Throws BeneathFolder::Refused when the way needs a link.
BeneathFolder openPlansFolder(const QString &directory, const QString &subfolder = QString())
{
    const QString project = IntentProcessorConstants::projectOfDataFile(directory + QStringLiteral("/overview.md"));
    const QString inside = subfolder.isEmpty() ? QString() : QLatin1Char('/') + subfolder;
    if (project.isEmpty()) {
        AtomicFileWriter::makeFolder(directory);
        return BeneathFolder::open(directory, subfolder, BeneathFolder::Create::all);
    }
    return BeneathFolder::open(project, directory + inside, BeneathFolder::Create::all);
}

// Reads a whole regular file of the open folder as UTF-8; nothing when it
// cannot be read (a link included) or is not valid UTF-8.
std::optional<QString> readUtf8(const BeneathFolder &folder, const QString &name)
{
    std::optional<QByteArray> bytes;
    try {
        bytes = RegularFile::readAt(folder.fd(), name);
    } catch (const RegularFile::ReadError &) {
        return std::nullopt;
    }
    if (!bytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder(*bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Checks a model- or caller-supplied name for a file inside the plans folder
// and returns it without leading "/": an empty name, or an empty, ".", ".."
// or NUL-holding component is refused with the reason. Links on the way are
// refused when the folder is opened.
QString checkedName(const QString &filename)
{
    QString relative = filename;
    while (relative.startsWith(QLatin1Char('/')))
        relative.remove(0, 1);
    if (relative.isEmpty())
        throw std::runtime_error("the file name is empty");
    const QStringList components = relative.split(QLatin1Char('/'));
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String("..") ||
            component.contains(QChar(u'\0')))
            throw std::runtime_error("the file name is not a plain relative path");
    }
    return relative;
}

QString statusMark(PlanStep::Status status)
{
    switch (status) {
    case PlanStep::Status::pending: return QStringLiteral("[ ]");
    case PlanStep::Status::inProgress: return QStringLiteral("[\u2026]");
    case PlanStep::Status::done: return QStringLiteral("[x]");
    }
    return QStringLiteral("[ ]");
}

} // namespace

PlansWorkspaceStore::PlansWorkspaceStore(QString directoryURL) : m_directory(std::move(directoryURL)) {}

QString PlansWorkspaceStore::plansDirectoryFor(const QString &projectPath)
{
    return projectPath + QStringLiteral("/.nerim/plans");
}

QFuture<QList<PlansWorkspaceStore::File>> PlansWorkspaceStore::listFiles()
{
    return m_executor.run([directory = m_directory, door = m_door] { return listFilesIn(directory, !door || door->canWrite()); });
}

QFuture<bool> PlansWorkspaceStore::writeFile(const QString &filename, const QString &contents)
{
    return m_executor.run([directory = m_directory, door = m_door, filename, contents] {
        return door ? writeFileIn(*door, filename, contents) : writeFileIn(directory, filename, contents);
    });
}

QFuture<bool> PlansWorkspaceStore::writeOverview(const QString &goal, const QList<PlanStep> &steps)
{
    return m_executor.run([directory = m_directory, door = m_door, goal, steps] {
        const QString text = overviewText(goal, steps, Timestamp::now());
        return door ? writeFileIn(*door, QStringLiteral("overview.md"), text)
                    : writeFileIn(directory, QStringLiteral("overview.md"), text);
    });
}

QFuture<void> PlansWorkspaceStore::ensureDirectory()
{
    return m_executor.run([directory = m_directory, door = m_door] {
        if (door && !door->canWrite())
            return;
        try {
            openPlansFolder(directory);
        } catch (const std::exception &) {
            // A later write says why.
        }
    });
}

QList<PlansWorkspaceStore::File> PlansWorkspaceStore::listFilesIn(const QString &directory, bool mayCreate)
{
    std::optional<BeneathFolder> folder;
    try {
        // A project only shown (another Nerim holds it) keeps its data
        // folder as it is: nothing is made there.
        const QString project = IntentProcessorConstants::projectOfDataFile(directory + QStringLiteral("/overview.md"));
        if (mayCreate)
            folder.emplace(openPlansFolder(directory));
        else
            folder.emplace(project.isEmpty() ? BeneathFolder::atPath(directory) : BeneathFolder::open(project, directory));
    } catch (const BeneathFolder::Missing &) {
        return {};
    } catch (const std::exception &e) {
        logLine(QStringLiteral("[Nerim plans-workspace] not reading the plans folder: %1").arg(QString::fromUtf8(e.what())));
        return {};
    }
    // Listed and read through the folder as it was opened: only regular
    // files are read, by their own names, so no link is followed.
    QStringList names;
    if (DIR *listing = ::fdopendir(::dup(folder->fd()))) {
        while (const dirent *entry = ::readdir(listing))
            names.append(QFile::decodeName(entry->d_name));
        ::closedir(listing);
    }
    const Timestamp listedAt = Timestamp::now();
    QList<File> files;
    for (const QString &name : std::as_const(names)) {
        if (name.startsWith(QLatin1Char('.')) || !name.endsWith(QLatin1String(".md")))
            continue;
        struct stat st {};
        if (::fstatat(folder->fd(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        auto contents = readUtf8(*folder, name);
        if (!contents)
            continue;
        const Timestamp lastModified =
            st.st_mtim.tv_sec > 0 ? Timestamp::fromUnixSeconds(double(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9)
                                  : listedAt;
        files.append(File{name, *contents, lastModified});
    }
    QCollator collator{QLocale()};
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    const QString overview = QStringLiteral("overview.md");
    std::stable_sort(files.begin(), files.end(), [&](const File &a, const File &b) {
        const bool aFirst = a.filename == overview;
        const bool bFirst = b.filename == overview;
        if (aFirst != bFirst)
            return aFirst;
        return collator.compare(a.filename, b.filename) < 0;
    });
    return files;
}

bool PlansWorkspaceStore::writeFileIn(const QString &directory, const QString &filename, const QString &contents)
{
    try {
        const QString relative = checkedName(filename);
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString name = slash < 0 ? relative : relative.mid(slash + 1);
        // The folder holding the file, made and opened beneath the project
        // without a link; the file is then written within it by name.
        const BeneathFolder folder = openPlansFolder(directory, slash < 0 ? QString() : relative.left(slash));
        struct stat st {};
        if (::fstatat(folder.fd(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            throw std::runtime_error("the file is a symbolic link, which Nerim does not follow");
        AtomicFileWriter::write(contents.toUtf8(), folder, name, name + QStringLiteral(".backup"));
        return true;
    } catch (...) {
        logLine(QStringLiteral("[Nerim plans-workspace] write failed for %1: %2")
                    .arg(filename, AtomicFileWriter::describeFailure(std::current_exception())));
        return false;
    }
}

bool PlansWorkspaceStore::writeFileIn(const ProjectDataFolder &door, const QString &filename, const QString &contents)
{
    try {
        const QString relative = checkedName(filename);
        const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString name = slash < 0 ? relative : relative.mid(slash + 1);
        // Refused before anything is made for a door that cannot write.
        door.checkWritable(ProjectDataFolder::Kind::planFiles);
        const QString inside = slash < 0 ? QString() : QLatin1Char('/') + relative.left(slash);
        const BeneathFolder folder = door.folder().folder(QStringLiteral("plans") + inside, BeneathFolder::Create::all);
        struct stat st {};
        if (::fstatat(folder.fd(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            throw std::runtime_error("the file is a symbolic link, which Nerim does not follow");
        door.writeWithin(ProjectDataFolder::Kind::planFiles, folder, name, contents.toUtf8(),
                         name + QStringLiteral(".backup"));
        return true;
    } catch (...) {
        logLine(QStringLiteral("[Nerim plans-workspace] write failed for %1: %2")
                    .arg(filename, AtomicFileWriter::describeFailure(std::current_exception())));
        return false;
    }
}

QString PlansWorkspaceStore::overviewText(const QString &goal, const QList<PlanStep> &steps, Timestamp now)
{
    QStringList lines{QStringLiteral("# Project overview"), QString()};
    if (!goal.isEmpty())
        lines << QStringLiteral("**Goal:** ") + goal << QString();
    if (!steps.isEmpty()) {
        lines << QStringLiteral("## Steps") << QString();
        for (qsizetype i = 0; i < steps.size(); ++i) {
            const PlanStep &step = steps[i];
            lines << QStringLiteral("%1. **%2** %3").arg(i + 1).arg(statusMark(step.status), step.title);
            if (!step.detail.isEmpty()) {
                const QStringList detailLines = step.detail.split(QLatin1Char('\n'));
                for (const QString &line : detailLines)
                    lines << QStringLiteral("   ") + line;
            }
            lines << QString();
        }
    }
    lines << QStringLiteral("---") << QStringLiteral("_Last updated: %1_").arg(now.toIso8601());
    return lines.join(QLatin1Char('\n'));
}

} // namespace nerim
