#pragma once

#include "deploy/DeployProvider.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// Puts the providers' command-line tools into Nerim's own tools folder with
// npm, so that a Deploy run finds them first on its PATH. Nothing is installed
// globally; a failed install is reported and the deploy goes on without it.
namespace DeployToolInstaller {

// <folder>/node_modules/.bin, where npm puts the tools' commands.
QString binFolder(const QString &toolsFolder);

// Whether the tool is in the tools folder or on the given PATH.
bool isAvailable(DeployProvider provider, const QString &toolsFolder, const QString &pathVariable);

// Runs `npm install --prefix <folder> --no-audit --no-fund <package>` (under
// Nerim's process guard, output collected, nothing read from standard input).
// Returns nothing on success, else a short reason for the user ("npm isn't
// installed", the exit code and npm's last error line). Never throws.
QCoro::Task<std::optional<QString>> install(QString npmProgram, QString toolsFolder, DeployProvider provider);

} // namespace DeployToolInstaller
} // namespace nerim
