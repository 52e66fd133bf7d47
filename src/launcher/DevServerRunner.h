#pragma once

#include "launcher/DetectedFailure.h"
#include "launcher/DevServerStatus.h"
#include "launcher/LaunchPlan.h"

#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QCoro/QCoroTask>
#include <chrono>
#include <functional>
#include <optional>

namespace nerim {

namespace platform {
class ChildProcess;
}

// Runs one project's development server as a child process started through the
// user's login shell, turns its output into lines, reports the first local
// address and the first classified start-up failure, and stops it.
//
// Lives on the GUI thread and never blocks it: the child is a
// platform::ChildProcess whose output and exit arrive as signals. It runs under
// Nerim's process guard, so stopping it ends everything it started (servers
// started by `npm run dev` and the like, whatever detached), and nothing of it
// outlives Nerim. The server runs in a PID namespace of its own where the
// kernel allows one (on the host's network), so it also ends with a guard that
// is killed outright. Output and exits of an earlier run never act on a later one.
//
// The child is `<login shell> -l -c <launchScript>` with standard input from
// /dev/null and devServerEnvironment's environment plus the start command in
// NERIM_LAUNCH_COMMAND. It is confined (see ChildProcess::Options and
// guard/AppConfinement.h): devServerHiddenPaths hidden, and writes only to
// devServerPlaces of the plan's `projectFolder` (where a launch override runs
// the command in a subfolder, so a subfolder path out of the project never
// widens it). Only a line feed ends an output line. No log line holds an
// assignment's value: only the `nerim.devserver.output` category logs the
// command (through launchCommandForLog) and the server's output, and detected
// addresses are logged without user info, query or fragment. When the shell
// exits while something it started still runs (a backgrounded server), that
// leftover is kept until stopped, replaced or the runner goes away, and
// forgotten as soon as none of it is left.
class DevServerRunner : public QObject {
    Q_OBJECT

public:
    using Status = DevServerStatus;
    using DetectedFailure = nerim::DetectedFailure;

    // The most lines recentOutput() keeps.
    static constexpr int recentOutputCap = 200;

    struct Options {
        // The shell that runs the launch script with "-l -c". Empty: the
        // user's login shell when it is POSIX-like, else /bin/bash.
        QString shell;
        // The environment the child's is built from; none: the application's own.
        std::optional<QProcessEnvironment> baseEnvironment;
        // How long a stop waits after SIGTERM before SIGKILL, and how often it
        // looks whether everything has ended.
        std::chrono::milliseconds stopLimit{2000};
        std::chrono::milliseconds stopPollInterval{100};
        // What the server cannot read; none: devServerHiddenPaths().
        std::optional<QStringList> hiddenPaths;
        // Folders the server may write besides its project (see devServerPlaces).
        QStringList alsoWritable;
    };

    explicit DevServerRunner(QObject *parent = nullptr);
    explicit DevServerRunner(Options options, QObject *parent = nullptr);
    // A live child and everything it started are sent SIGTERM, and SIGKILL
    // after the stop limit, without waiting here.
    ~DevServerRunner() override;

    // State of the current run; `idle` at creation. Each has a change signal
    // that fires only when the value changes.
    const Status &status() const { return m_status; }
    // The first local address found in the current run's output.
    const std::optional<QUrl> &detectedURL() const { return m_detectedURL; }
    // The failure of the current run; none until one is classified.
    const std::optional<DetectedFailure> &lastFailure() const { return m_lastFailure; }
    // The last output lines of the current run, oldest first (at most recentOutputCap).
    const QStringList &recentOutput() const { return m_recentOutput; }

    // The process group (the child's process id, as Nerim sees it) of the running child; 0 when none.
    qint64 processGroup() const { return m_processGroup; }

    // Set by the owner; always called on the GUI thread.
    std::function<void(const QString &line)> onOutputLine;      // every output line
    std::function<void(const QUrl &url)> onURLDetected;         // once per run, the first address
    std::function<void(const DetectedFailure &)> onFailureDetected; // once per run, the first failure

    // Stops any child still alive, resets the run and launches the plan's
    // command. Returns when the child has been launched or the launch failed
    // (then `status` is `failed`); never throws.
    QCoro::Task<> start(LaunchPlan plan);

    // Returns when no child of this runner is running any more. A requested
    // stop ends the run as a clean `stopped`.
    QCoro::Task<> stop();

    // The building blocks, without side effects.

    // A command is compound when it contains "&&", "||", ";" or "|", or when
    // its first word is a variable assignment (which `exec` cannot run).
    static bool isCompoundCommand(const QString &command);
    // The script given to the shell's -c option. It holds no part of the
    // command, which may carry a key ("STRIPE_KEY=… npm start") and which a
    // command line would show to every user: the command comes in the
    // environment (launchCommandVariable), which the script takes it out of
    // before it runs it (with `exec`, or by /bin/bash for a compound one).
    static QString launchScript(const LaunchPlan &plan);
    // The child's environment: devServerEnvironment(base).
    static QProcessEnvironment childEnvironment(const QProcessEnvironment &base);
    // The failure a single output line reports, if any. A "Cannot find
    // module" naming a path (`./x`, `../x` or `/x`) is one of the project's
    // own files and says which, not `npm install`. The runner's own status
    // becomes `stopped` when a crashed run exits; the header's pill keeps
    // showing the classified crash (HeaderControlsLook::appServerPill).
    static std::optional<DetectedFailure> classifyFailureLine(const QString &line);
    // The first run of 2-5 digits right after a colon.
    static std::optional<int> extractPort(const QString &line);
    // A line with its terminal escape sequences and one trailing carriage return removed.
    static QString cleanLine(const QString &line);

    // The sentence shown when the shell itself cannot be found.
    static QString missingToolText();
    // The failure reported for a server that ended before giving an address
    // without a recognised cause.
    static DetectedFailure startupCrashFailure();

signals:
    void statusChanged();
    void detectedURLChanged();
    void lastFailureChanged();
    void recentOutputChanged();

private:
    void setStatus(const Status &status);
    void setDetectedURL(const std::optional<QUrl> &url);
    void setLastFailure(const std::optional<DetectedFailure> &failure);

    void handleLine(const QString &line);
    void reportFailure(const DetectedFailure &failure);
    void handleExit(quint64 runId, int exitCode, bool normalExit);
    void teardown();

    Options m_options;
    Status m_status;
    std::optional<QUrl> m_detectedURL;
    std::optional<DetectedFailure> m_lastFailure;
    QStringList m_recentOutput;
    bool m_failureReported = false;

    // The current run: its child, and a tag that tells its signals from those
    // of earlier runs.
    QPointer<platform::ChildProcess> m_child;
    quint64 m_runId = 0;
    qint64 m_processGroup = 0;
    // An earlier child that exited while processes it started still run;
    // dropped as soon as none of them is left.
    QPointer<platform::ChildProcess> m_leftover;
    bool m_stopRequested = false;
};

} // namespace nerim
