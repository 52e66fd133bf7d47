#pragma once

#include "launcher/LaunchPlan.h"
#include "launcher/ProjectTypeDetectorError.h"

#include <QSet>
#include <QString>
#include <QStringList>
#include <optional>

namespace nerim {

// Tells how to start a project folder: a saved launch override first, then the
// names of the folder's top-level entries, the "scripts" of package.json and
// the imports of the top-level Python files. Installs and starts nothing;
// installing Node dependencies is part of the command it returns. Stateless.
class ProjectTypeDetector {
public:
    ProjectTypeDetector() = delete;

    // Throws ProjectTypeDetectorError. Reads the folder (and probes ports for
    // Python servers) on the caller's thread; it touches only the top level.
    static LaunchPlan detect(const QString &projectPath);

    static LaunchPlan nodeLaunchPlan(const QString &projectPath);
    // Throws ProjectTypeDetectorError::unknown when no way to start it is found.
    static LaunchPlan pythonLaunchPlan(const QString &projectPath, const QSet<QString> &entries);

    // The key set of the "scripts" object of a package.json; empty on any problem.
    static QSet<QString> packageScripts(const QString &packageJsonPath);
    // Whether a top-level .py file holds "import <module>" or "from <module>".
    static bool pythonImports(const QString &module, const QString &projectPath, const QSet<QString> &entries);
    // The first candidate present among the entry names.
    static std::optional<QString> firstPresent(const QStringList &candidates, const QSet<QString> &entries);

    static inline const QString unknownProjectHint = QStringLiteral(
        "I don't recognize this as a startable project yet. If you already know how to start it, run the command in "
        "Terminal and I'll pick up the URL automatically.");
    static inline const QString unknownPythonHint = QStringLiteral(
        "I can see this is a Python project but I couldn't tell how to start it. If you already know the command, "
        "run it in Terminal and I'll pick up the URL.");
};

} // namespace nerim
