#include "agents/GitExcludes.h"

#include "foundation/BeneathFolder.h"
#include "foundation/Log.h"
#include "foundation/RegularFile.h"
#include "persistence/AtomicFileWriter.h"
#include "platform/ChildRun.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>

namespace nerim::GitExcludes {

namespace {

const QString envVariants = QStringLiteral(".env.*");

const QStringList &reincludedExamples()
{
    static const QStringList lines{QStringLiteral("!.env.example"), QStringLiteral("!.env.sample"),
                                   QStringLiteral("!.env.template")};
    return lines;
}

// The file's lines as git compares them: without the line end and without
// the trailing blanks git drops.
QStringList linesOf(const QByteArray &content)
{
    QStringList lines;
    for (const QByteArray &raw : content.split('\n')) {
        QByteArray line = raw;
        while (!line.isEmpty() && (line.endsWith('\r') || line.endsWith(' ') || line.endsWith('\t')))
            line.chop(1);
        lines.append(QString::fromUtf8(line));
    }
    return lines;
}

void logExcludes(const QString &text) { logLine(QStringLiteral("[Nerim git] ") + text); }

// `path` (absolute, as git names it) as a path beneath the project `folder`,
// by the folder's path as given or its real one; nothing when it lies
// elsewhere.
std::optional<QString> beneathProject(const QString &path, const QString &folder)
{
    // git names the file by the project's real path, which differs from the
    // one the project was opened by when a folder above it is a link.
    const QString project = QDir::cleanPath(QDir(folder).absolutePath());
    const QString canonical = QFileInfo(project).canonicalFilePath();
    for (const QString &base : {project, canonical}) {
        if (base.isEmpty() || base == QLatin1String("/"))
            continue;
        if (path.startsWith(base + QLatin1Char('/')))
            return project + path.mid(base.size());
    }
    return std::nullopt;
}

} // namespace

const QStringList &secretLines()
{
    static const QStringList lines = [] {
        QStringList all{QStringLiteral("# Kept out of git by Nerim: local secrets and Nerim's own folder"),
                        QStringLiteral(".env"), envVariants};
        all += reincludedExamples();
        all.append(QStringLiteral(".nerim/"));
        return all;
    }();
    return lines;
}

std::optional<QByteArray> withSecretLines(const QByteArray &existing)
{
    const QStringList present = linesOf(existing);
    QStringList missing;
    for (const QString &line : secretLines())
        if (!present.contains(line))
            missing.append(line);
    if (missing.isEmpty())
        return std::nullopt;
    // Git takes the last line that matches a path: examples re-included before
    // a newly added `.env.*` would be excluded again, so they follow it.
    if (missing.contains(envVariants))
        for (const QString &line : reincludedExamples())
            if (!missing.contains(line))
                missing.insert(missing.indexOf(envVariants) + 1 + reincludedExamples().indexOf(line), line);
    QByteArray content = existing;
    if (!content.isEmpty() && !content.endsWith('\n'))
        content.append('\n');
    for (const QString &line : missing)
        content.append(line.toUtf8()).append('\n');
    return content;
}

Outcome addSecretLines(const QString &path, const QString &root)
{
    // Reached beneath the project (or, for a repository the project lies in,
    // beneath the git folder git named) without following a link; the file
    // is read and replaced within its open folder.
    const QString base = root.isEmpty() ? QFileInfo(QFileInfo(path).absolutePath()).absolutePath() : root;
    QString name;
    std::optional<BeneathFolder> folder;
    try {
        folder.emplace(BeneathFolder::holding(base, path, BeneathFolder::Create::last, &name));
    } catch (const BeneathFolder::Missing &) {
        throw std::runtime_error("its folder could not be made");
    }
    // A link, pipe or device in the file's place is refused, never followed.
    std::optional<QByteArray> existing;
    try {
        existing = RegularFile::readAt(folder->fd(), name);
    } catch (const RegularFile::ReadError &error) {
        throw std::runtime_error(error.what());
    }
    const std::optional<QByteArray> content = withSecretLines(existing.value_or(QByteArray()));
    if (!content)
        return Outcome::alreadyThere;
    try {
        AtomicFileWriter::replace(*content, *folder, name);
    } catch (const MemoryError &error) {
        throw std::runtime_error(error.description().toStdString());
    }
    return Outcome::added;
}

QCoro::Task<std::optional<QString>> locateExcludeFile(QString folder, std::chrono::milliseconds timeLimit)
{
    // A folder that is gone has no repository; the run's own start says so.
    // (Awaited as a future, then read: the value of an awaited expression is
    // never used to initialise a variable here, which this compiler's
    // coroutines get wrong for some types.)
    // Finding git, its environment and the run's cgroup touch the disk: done
    // on a worker thread.
    struct Found {
        QString git;
        QProcessEnvironment environment;
        std::shared_ptr<platform::PreparedCgroup> cgroup;
    };
    QFuture<Found> finding = QtConcurrent::run([folder] {
        Found found;
        if (QFileInfo(folder).isDir())
            found.git = QStandardPaths::findExecutable(QStringLiteral("git"));
        if (found.git.isEmpty())
            return found;
        // Only what git needs to find the repository and the user's own
        // settings: no credential, no variable that points git at another repository.
        const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"PATH", "HOME", "XDG_CONFIG_HOME", "USER", "LOGNAME"})
            if (system.contains(QLatin1String(name)))
                found.environment.insert(QLatin1String(name), system.value(QLatin1String(name)));
        found.environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        found.environment.insert(QStringLiteral("GIT_TERMINAL_PROMPT"), QStringLiteral("0"));
        found.cgroup = platform::PreparedCgroup::make();
        return found;
    });
    co_await finding;
    Found found = finding.result();
    if (found.git.isEmpty())
        co_return std::nullopt;

    platform::ChildProcess::Options options;
    options.preparedCgroup = std::move(found.cgroup);
    options.program = std::move(found.git);
    options.arguments = {QStringLiteral("rev-parse"), QStringLiteral("--git-path"), QStringLiteral("info/exclude")};
    options.workingDirectory = folder;
    options.environment = std::move(found.environment);
    options.endTreeWhenProgramExits = true;
    options.carriageReturnEndsLine = false;

    QCoro::Task<platform::ChildRun> running = platform::runToEnd(options, timeLimit);
    platform::ChildRun run;
    run = co_await std::move(running);
    if (!run.startFailure.isEmpty()) {
        logExcludes(QStringLiteral("git couldn't start to find the exclude file (%1)").arg(run.startFailure));
        co_return std::nullopt;
    }
    if (run.timedOut) {
        logExcludes(QStringLiteral("git didn't say where the exclude file is in time"));
        co_return std::nullopt;
    }
    // Not a repository (git exits with 128), or nothing usable said.
    if (!run.succeeded() || run.outputLines.size() != 1 || run.outputLines.first().isEmpty())
        co_return std::nullopt;
    co_return QDir::cleanPath(QDir(folder).absoluteFilePath(run.outputLines.first()));
}

QCoro::Task<std::optional<QString>> keepSecretsOut(QString folder)
{
    QCoro::Task<std::optional<QString>> locating = locateExcludeFile(folder);
    std::optional<QString> path;
    try {
        path = co_await std::move(locating);
    } catch (const std::exception &error) {
        logExcludes(QStringLiteral("couldn't find the exclude file: %1").arg(QString::fromUtf8(error.what())));
        co_return std::nullopt;
    }
    if (!path)
        co_return std::nullopt;
    // Only a file inside the project is written: git's answer comes from
    // files the project holds (a `.git` file naming a git folder, whose
    // `commondir` may name any repository of the user's), and a repository
    // the project merely lies in is not the project's to change.
    const std::optional<QString> inside = beneathProject(*path, folder);
    if (!inside) {
        logExcludes(QStringLiteral("the exclude file git names is outside the project (%1): not written").arg(*path));
        co_return QStringLiteral("[.env is not excluded from git here: git keeps this project's exclude file outside "
                                 "the project folder (%1), where Nerim doesn't write.]")
            .arg(*path);
    }
    const QString target = *inside;
    const QString root = QDir::cleanPath(QDir(folder).absolutePath());
    QFuture<std::optional<QString>> adding = QtConcurrent::run([target, root]() -> std::optional<QString> {
        try {
            addSecretLines(target, root);
            return std::nullopt;
        } catch (const std::exception &error) {
            return QString::fromUtf8(error.what());
        } catch (...) {
            return QStringLiteral("unknown error");
        }
    });
    co_await adding;
    const std::optional<QString> failure = adding.result();
    if (!failure)
        co_return std::nullopt;
    logExcludes(QStringLiteral("couldn't keep .env and .nerim/ out of git (%1): %2").arg(target, *failure));
    co_return QStringLiteral("[.env is not excluded from git here: the exclude file %1 can't be written (%2).]")
        .arg(QDir(root).relativeFilePath(target), *failure);
}

} // namespace nerim::GitExcludes
