#include "deploy/DeployToolInstaller.h"

#include "platform/ChildProcess.h"

#include <QCoro/QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>
#include <memory>

namespace nerim::DeployToolInstaller {

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

QCoro::Task<std::optional<QString>> install(QString npmProgram, QString toolsFolder, DeployProvider provider)
{
    const QString program = QFileInfo(npmProgram).isAbsolute() ? npmProgram
                                                                : QStandardPaths::findExecutable(npmProgram);
    if (program.isEmpty() || !QFileInfo(program).isExecutable())
        co_return QStringLiteral("npm isn't installed on this computer");
    if (!QDir().mkpath(toolsFolder))
        co_return QStringLiteral("the folder %1 couldn't be created").arg(toolsFolder);

    struct Outcome {
        int exitCode = -1;
        bool normalExit = false;
        bool exited = false;
        QString startFailure;
        QString lastErrorLine;
    };
    auto outcome = std::make_shared<Outcome>();
    auto child = std::make_unique<platform::ChildProcess>();
    QObject::connect(child.get(), &platform::ChildProcess::exited, child.get(), [outcome](int code, bool normal) {
        outcome->exited = true;
        outcome->exitCode = code;
        outcome->normalExit = normal;
    });
    QObject::connect(child.get(), &platform::ChildProcess::failedToStart, child.get(),
                     [outcome](const QString &reason) { outcome->startFailure = reason; });
    QObject::connect(child.get(), &platform::ChildProcess::outputLine, child.get(),
                     [outcome](const QString &line, bool standardError) {
                         if (standardError && !line.trimmed().isEmpty())
                             outcome->lastErrorLine = line.trimmed();
                     });
    platform::ChildProcess::Options options;
    options.program = program;
    options.arguments = {QStringLiteral("install"), QStringLiteral("--prefix"), toolsFolder,
                         QStringLiteral("--no-audit"), QStringLiteral("--no-fund"), provider.npmPackage()};
    options.workingDirectory = toolsFolder;
    options.endTreeWhenProgramExits = true;
    child->start(options);
    QFuture<void> ended = child->whenTreeEnded();
    co_await ended;

    if (!outcome->startFailure.isEmpty())
        co_return QStringLiteral("npm couldn't start (%1)").arg(outcome->startFailure);
    if (!outcome->exited)
        co_return QStringLiteral("npm was stopped");
    if (!outcome->normalExit || outcome->exitCode != 0) {
        QString reason = QStringLiteral("npm exited with code %1").arg(outcome->exitCode);
        if (!outcome->lastErrorLine.isEmpty())
            reason += QStringLiteral(" (") + outcome->lastErrorLine + QLatin1Char(')');
        co_return reason;
    }
    co_return std::nullopt;
}

} // namespace nerim::DeployToolInstaller
