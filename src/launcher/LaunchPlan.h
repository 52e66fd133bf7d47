#pragma once

#include <QString>

namespace nerim {

// How to start one project's development server: a shell command line, the
// folder it runs in and the sentence shown while it starts. Produced by
// ProjectTypeDetector (or a saved LaunchOverride) and handed unchanged to
// DevServerRunner::start.
struct LaunchPlan {
    // Absolute path of the folder the command runs in (the project folder, or
    // a subfolder named by a launch override).
    QString workingDirectory;
    // A complete shell command line; it may chain two commands with " && ".
    QString shellCommand;
    // Shown while the server starts, e.g. "Starting your app".
    QString humanDescription;
    // The project folder, which the server may write, where the command runs
    // in a subfolder; empty: `workingDirectory` is the project folder.
    QString projectFolder{};

    friend bool operator==(const LaunchPlan &, const LaunchPlan &) = default;
};

// A plain phrase for the kind of project a launch plan starts, made from its
// shell command ("Node/npm project (npm run dev)", "Go project (go run .)", …).
QString plainProjectType(const LaunchPlan &plan);

// A start command as the log may show it: the value of every NAME=value
// assignment in it (at the start, after `env` or `export`, after a separator),
// quoted or not, is written "…", since a key is often given that way
// ("STRIPE_KEY=… npm run dev"). Used wherever a command is logged: the
// detector's override line, the Repair agent's override marker and the
// runner's launched line.
QString launchCommandForLog(const QString &command);

} // namespace nerim
