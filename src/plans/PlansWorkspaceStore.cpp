#include "plans/PlansWorkspaceStore.h"

#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/AtomicFileWriter.h"
#include "persistence/IntentProcessorConstants.h"

#include <QCollator>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <stdexcept>

namespace nerim {

namespace {

// The plans folder and the data folder it lies in are made when missing; the
// project folder above them never is.
void makeDirectory(const QString &directory)
{
    AtomicFileWriter::makeFolder(QFileInfo(directory).absolutePath());
    AtomicFileWriter::makeFolder(directory);
}

// Reads a whole regular file as UTF-8; nothing when it cannot be read or is not valid UTF-8.
std::optional<QString> readUtf8(const QString &path)
{
    std::optional<QByteArray> bytes;
    try {
        bytes = RegularFile::read(path);
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

// Why the plans folder must not be used at all, or nothing: a plans folder that
// is a symbolic link, or a data folder above it that leads out of the project,
// would send every read and write somewhere else.
std::optional<QString> folderRefusal(const QString &directory)
{
    const QFileInfo info(directory);
    if (info.isSymLink())
        return QStringLiteral("the plans folder %1 is a symbolic link").arg(directory);
    try {
        IntentProcessorConstants::checkDotfolderLink(info.path());
    } catch (const std::exception &e) {
        return QString::fromUtf8(e.what());
    }
    return std::nullopt;
}

bool isInside(const QString &canonicalPath, const QString &canonicalRoot)
{
    return !canonicalPath.isEmpty() &&
           (canonicalPath == canonicalRoot || canonicalPath.startsWith(canonicalRoot + QLatin1Char('/')));
}

// The nearest folder at or above `path` that exists, resolved through symbolic links.
QString canonicalExistingAncestor(QString path)
{
    for (;;) {
        const QFileInfo info(path);
        if (info.exists())
            return info.canonicalFilePath();
        const QString parent = info.path();
        if (parent == path)
            return QString();
        path = parent;
    }
}

// Resolves a model- or caller-supplied name to a file inside the plans folder.
// Leading "/" are dropped; an empty name, an empty, ".", ".." or NUL-holding
// component, or a path that leads outside the folder through a symbolic link is
// refused with the reason.
QString resolveTarget(const QString &directory, const QString &filename)
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
    const QString root = QFileInfo(directory).canonicalFilePath();
    if (root.isEmpty())
        throw std::runtime_error("the plans folder does not exist");

    const QString target = directory + QLatin1Char('/') + relative;
    const QString parent = QFileInfo(target).path();
    if (!isInside(canonicalExistingAncestor(parent), root))
        throw std::runtime_error("the file would lie outside the plans folder");
    QDir().mkpath(parent); // inside the existing plans folder; a failure shows up as a failed write below
    if (!isInside(canonicalExistingAncestor(parent), root))
        throw std::runtime_error("the file would lie outside the plans folder");
    const QFileInfo targetInfo(target);
    if (targetInfo.isSymLink() && !isInside(targetInfo.canonicalFilePath(), root))
        throw std::runtime_error("the file is a link to a place outside the plans folder");
    return target;
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
    return m_executor.run([directory = m_directory] { return listFilesIn(directory); });
}

QFuture<bool> PlansWorkspaceStore::writeFile(const QString &filename, const QString &contents)
{
    return m_executor.run(
        [directory = m_directory, filename, contents] { return writeFileIn(directory, filename, contents); });
}

QFuture<bool> PlansWorkspaceStore::writeOverview(const QString &goal, const QList<PlanStep> &steps)
{
    return m_executor.run([directory = m_directory, goal, steps] {
        return writeFileIn(directory, QStringLiteral("overview.md"), overviewText(goal, steps, Timestamp::now()));
    });
}

QFuture<void> PlansWorkspaceStore::ensureDirectory()
{
    return m_executor.run([directory = m_directory] {
        if (!folderRefusal(directory))
            makeDirectory(directory);
    });
}

QList<PlansWorkspaceStore::File> PlansWorkspaceStore::listFilesIn(const QString &directory)
{
    if (const auto refusal = folderRefusal(directory)) {
        logLine(QStringLiteral("[Nerim plans-workspace] not reading the plans folder: %1").arg(*refusal));
        return {};
    }
    makeDirectory(directory);
    const QString root = QFileInfo(directory).canonicalFilePath();
    const QFileInfoList entries =
        QDir(directory).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort);
    const Timestamp listedAt = Timestamp::now();
    QList<File> files;
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name.startsWith(QLatin1Char('.')) || !name.endsWith(QLatin1String(".md")))
            continue;
        // A link is read only when it leads to a file inside the plans folder;
        // that file is then read by its own name, so no link is followed.
        QString source = entry.filePath();
        if (entry.isSymLink()) {
            source = entry.canonicalFilePath();
            if (!isInside(source, root) || source == root)
                continue;
        }
        auto contents = readUtf8(source);
        if (!contents)
            continue;
        const QDateTime modified = entry.fileTime(QFileDevice::FileModificationTime);
        const Timestamp lastModified =
            modified.isValid() ? Timestamp::fromUnixSeconds(modified.toMSecsSinceEpoch() / 1000.0) : listedAt;
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
    if (const auto refusal = folderRefusal(directory)) {
        logLine(QStringLiteral("[Nerim plans-workspace] write failed for %1: %2").arg(filename, *refusal));
        return false;
    }
    makeDirectory(directory);
    try {
        const QString target = resolveTarget(directory, filename);
        AtomicFileWriter::write(contents.toUtf8(), target, AtomicFileWriter::backupPathFor(target));
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
