#pragma once

#include "deploy/DeployProvider.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
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

// The exact version of each provider's tool that Nerim installs, from one
// table: "vercel@64.0.2", "@railway/cli@5.63.1", "supabase@3.1.0".
QString pinnedPackage(DeployProvider provider);

// The Deploy pane's line while a tool installs:
// "Installing the vercel command-line tool (vercel@64.0.2)…".
QString progressLine(DeployProvider provider);

// How long an install may take before it is given up.
inline constexpr std::chrono::minutes defaultTimeLimit{5};

struct Request {
    QString npmProgram;
    QString toolsFolder;
    DeployProvider provider = DeployProvider::vercel;
    // The environment npm would inherit; it runs with the development
    // server's environment made from it, so none of Nerim's credentials (the
    // agents' key, the voice key, deploy tokens) reach npm or the package's
    // install scripts.
    QProcessEnvironment baseEnvironment = QProcessEnvironment::systemEnvironment();
    std::chrono::milliseconds timeLimit = defaultTimeLimit;
    // Told the progress line when npm starts (for the Deploy pane).
    std::function<void(const QString &line)> progress;
    // When set, the install is given up (npm and all it started stopped at
    // once) as soon as this object is destroyed, and is not begun when it
    // already is: the deploy that asked for it was cancelled or ended.
    QPointer<QObject> stopper;
    bool stoppable = false; // `stopper` was given (a destroyed one reads as null)
};

// Runs `npm install --prefix <folder> --no-audit --no-fund <pinned package>`
// under Nerim's process guard (output collected, nothing read from standard
// input), with the development server's environment. Stops npm and everything
// it started once the time limit has passed, or once the request's stopper is
// gone. Returns nothing on success, else a short reason for the user ("npm
// isn't installed", the exit code and npm's last error line, the time limit,
// "the install was stopped"). Never throws.
QCoro::Task<std::optional<QString>> install(Request request);

} // namespace DeployToolInstaller
} // namespace nerim
