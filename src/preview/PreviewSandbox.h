#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <sys/types.h>

#include <vector>

namespace nerim::PreviewSandbox {

// The preview's web engine runs its page processes in a sandbox, which it
// refuses to start for the root user (the whole process would exit). So it
// runs without one exactly when Nerim runs as root (effective user id 0), and
// keeps it for everyone else. Pure functions of the user id. The argument goes
// on the application's command line, where the engine reads its options, not
// into the environment, so children don't inherit it; EngineCommandLine builds
// that command line for the application and for the gallery, and the one log
// line is said once.
bool runsWithoutSandbox(uid_t effectiveUid);

// The arguments to add at the end of the application's command line, where
// the web engine reads its own options (those after "--webEngineArgs"):
// "--webEngineArgs --no-sandbox" for root, else none.
QStringList engineArguments(uid_t effectiveUid);

// The one log line said when the sandbox is left off.
QString withoutSandboxLogLine();

// A program's command line with engineArguments() added at its end, for the
// application object, which keeps the count and the array it is given: this
// object must outlive it.
class EngineCommandLine {
public:
    EngineCommandLine(int argc, char **argv, uid_t effectiveUid);
    EngineCommandLine(const EngineCommandLine &) = delete;
    EngineCommandLine &operator=(const EngineCommandLine &) = delete;

    int &argc() { return m_argc; }
    char **argv() { return m_argv.data(); }
    // Whether the engine's sandbox is left off (arguments were added).
    bool addsArguments() const { return !m_added.empty(); }

private:
    std::vector<QByteArray> m_added;
    std::vector<char *> m_argv;
    int m_argc = 0;
};

} // namespace nerim::PreviewSandbox
