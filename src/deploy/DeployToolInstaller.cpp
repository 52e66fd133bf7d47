#include "deploy/DeployToolInstaller.h"

#include "launcher/DevServerEnvironment.h"
#include "platform/ChildRun.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <algorithm>
#include <memory>

namespace nerim::DeployToolInstaller {

namespace {

// The one place the tools' versions are named. Raise a version only after
// trying the tool with the Deploy agent's briefing.
struct PinnedTool {
    DeployProvider::Value provider;
    const char *version;
};
constexpr PinnedTool pinnedTools[] = {
    {DeployProvider::vercel, "64.0.2"},
    {DeployProvider::railway, "5.63.1"},
    {DeployProvider::supabase, "3.1.0"},
};

QString pinnedVersion(DeployProvider provider)
{
    for (const PinnedTool &tool : pinnedTools)
        if (tool.provider == DeployProvider::Value(provider))
            return QString::fromLatin1(tool.version);
    return {};
}

QCoro::Task<std::optional<QString>> runInstall(Request request, QString package);

} // namespace

QString pinnedPackage(DeployProvider provider)
{
    return provider.npmPackage() + QLatin1Char('@') + pinnedVersion(provider);
}

QString progressLine(DeployProvider provider)
{
    return QStringLiteral("Installing the %1 command-line tool (%2)\u2026").arg(provider.toolName(), pinnedPackage(provider));
}

QCoro::Task<std::optional<QString>> install(Request request)
{
    const QString package = pinnedPackage(request.provider);
    return runInstall(std::move(request), package);
}


QString binFolder(const QString &toolsFolder)
{
    return QDir(toolsFolder).filePath(QStringLiteral("node_modules/.bin"));
}

bool isAvailable(DeployProvider provider, const QString &toolsFolder, const QString &pathVariable)
{
    const QString tool = provider.toolName();
    if (QFileInfo(QDir(binFolder(toolsFolder)).filePath(tool)).isExecutable())
        return true;
    return !QStandardPaths::findExecutable(tool, pathVariable.split(QLatin1Char(':'), Qt::SkipEmptyParts)).isEmpty();
}

namespace {

QCoro::Task<std::optional<QString>> runInstall(Request request, QString package)
{
    if (request.stoppable && !request.stopper)
        co_return QStringLiteral("the install was stopped");
    const QString &npmProgram = request.npmProgram;
    const QString &toolsFolder = request.toolsFolder;
    const QString program = QFileInfo(npmProgram).isAbsolute() ? npmProgram
                                                                : QStandardPaths::findExecutable(npmProgram);
    if (program.isEmpty() || !QFileInfo(program).isExecutable())
        co_return QStringLiteral("npm isn't installed on this computer");
    if (!QDir().mkpath(toolsFolder))
        co_return QStringLiteral("the folder %1 couldn't be created").arg(toolsFolder);

    platform::ChildProcess::Options options;
    options.program = program;
    options.arguments = {QStringLiteral("install"), QStringLiteral("--prefix"), toolsFolder,
                         QStringLiteral("--no-audit"), QStringLiteral("--no-fund"), package};
    options.workingDirectory = toolsFolder;
    options.environment = devServerEnvironment(request.baseEnvironment);
    options.endTreeWhenProgramExits = true;
    if (request.progress)
        request.progress(progressLine(request.provider));
    if (request.stoppable && !request.stopper)
        co_return QStringLiteral("the install was stopped");
    // npm waiting on a network that never answers must not hold the deploy.
    QCoro::Task<platform::ChildRun> running = platform::runToEnd(
        options, request.timeLimit, request.stoppable ? request.stopper : QPointer<QObject>());
    platform::ChildRun run;
    run = co_await std::move(running);
    if (!run.startFailure.isEmpty())
        co_return QStringLiteral("npm couldn't start (%1)").arg(run.startFailure);
    if (run.stopped)
        co_return QStringLiteral("the install was stopped");
    if (run.timedOut) {
        const auto seconds = std::max<qint64>(
            1, std::chrono::ceil<std::chrono::seconds>(request.timeLimit).count());
        const QString span = seconds % 60 == 0
                                 ? (seconds == 60 ? QStringLiteral("1 minute") : QStringLiteral("%1 minutes").arg(seconds / 60))
                                 : (seconds == 1 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(seconds));
        co_return QStringLiteral("npm didn't finish within %1 and was stopped").arg(span);
    }
    if (!run.exited)
        co_return QStringLiteral("npm was stopped");
    if (!run.exitedNormally || run.exitCode != 0) {
        QString reason = QStringLiteral("npm exited with code %1").arg(run.exitCode);
        // Its last words on standard error say why.
        for (auto line = run.errorLines.crbegin(); line != run.errorLines.crend(); ++line) {
            if (!line->trimmed().isEmpty()) {
                reason += QStringLiteral(" (") + line->trimmed() + QLatin1Char(')');
                break;
            }
        }
        co_return reason;
    }
    co_return std::nullopt;
}

} // namespace

} // namespace nerim::DeployToolInstaller
