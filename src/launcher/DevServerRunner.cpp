#include "launcher/DevServerRunner.h"

#include "foundation/Log.h"
#include "launcher/DevServerEnvironment.h"
#include "launcher/LocalURLDetection.h"
#include "platform/ChildProcess.h"
#include "platform/LoginShell.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
#include <cerrno>
#include <csignal>
#include <memory>

// The server's own output is the user's program talking; it stays out of the
// journal unless this category is enabled (QT_LOGGING_RULES="nerim.devserver.output.debug=true").
Q_LOGGING_CATEGORY(lcDevServerOutput, "nerim.devserver.output", QtWarningMsg)

namespace nerim {

namespace {

// ---- patterns, compiled once per run of the application ----

QRegularExpression compiled(const char *source, QRegularExpression::PatternOptions options = {})
{
    QRegularExpression re(QString::fromUtf8(source), options);
    if (re.isValid())
        re.optimize();
    return re;
}

const QRegularExpression &escapePattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression re = compiled(R"(\x1B\[[0-9;?]*[ -/]*[@-~])");
        // A pattern that cannot compile is replaced by one that matches nothing.
        return re.isValid() ? re : QRegularExpression(QStringLiteral("(?!)"));
    }();
    return pattern;
}

const QList<QRegularExpression> &environmentVariablePatterns()
{
    static const QList<QRegularExpression> patterns = [] {
        QList<QRegularExpression> list;
        for (const char *source : {
                 R"(The\s+([A-Z][A-Z0-9_]{2,})\s+environment variable is (?:missing|empty|not set))",
                 R"(Missing (?:required )?environment variable[:\s]+([A-Z][A-Z0-9_]{2,}))",
                 R"(environment variable\s+[`'"]([A-Z][A-Z0-9_]{2,})[`'"]\s+not found)",
                 R"(KeyError:\s*['"]([A-Z][A-Z0-9_]{2,})['"])",
             }) {
            QRegularExpression re = compiled(source, QRegularExpression::CaseInsensitiveOption);
            if (re.isValid())
                list.append(re);
        }
        return list;
    }();
    return patterns;
}

const QRegularExpression &nodeModulePattern()
{
    static const QRegularExpression pattern =
        compiled(R"(Cannot find module\s+['"]([^'"]+)['"])", QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

const QRegularExpression &pythonPackagePattern()
{
    static const QRegularExpression pattern =
        compiled(R"(No module named\s+['"]([^'"]+)['"])", QRegularExpression::CaseInsensitiveOption);
    return pattern;
}

const QRegularExpression &portPattern()
{
    static const QRegularExpression pattern = compiled(R"(:(\d{2,5}))");
    return pattern;
}

// The first group of the first match, when the pattern compiled and matched.
std::optional<QString> firstGroup(const QRegularExpression &pattern, const QString &line)
{
    if (!pattern.isValid())
        return std::nullopt;
    const auto match = pattern.match(line);
    if (!match.hasMatch() || match.capturedStart(1) < 0)
        return std::nullopt;
    return match.captured(1);
}

const QString retryHint = QStringLiteral("then try “run the app” again.");

// How Node names a module that is a file rather than a package: relative to
// the requiring file, or absolute.
bool isFilePath(const QString &module)
{
    return module.startsWith(QLatin1String("./")) || module.startsWith(QLatin1String("../")) ||
           module == QLatin1String(".") || module == QLatin1String("..") || module.startsWith(QLatin1Char('/'));
}

DetectedFailure startupCrash()
{
    return DetectedFailure{DetectedFailure::Category::nodemonCatchall, QStringLiteral("Your app crashed on startup."),
                           QStringLiteral("Ask one of your agents “what went wrong?” — they can read the error "
                                          "output and help fix it."),
                           std::nullopt};
}

} // namespace

// ---- construction ----

DevServerRunner::DevServerRunner(QObject *parent) : DevServerRunner(Options{}, parent) {}

DevServerRunner::DevServerRunner(Options options, QObject *parent) : QObject(parent), m_options(std::move(options))
{
    // Compile the shared patterns now rather than on the first output line.
    escapePattern();
    environmentVariablePatterns();
}

DevServerRunner::~DevServerRunner()
{
    // The running child, or what an exited one left running.
    platform::ChildProcess *live = m_child ? m_child.data() : m_leftover.data();
    if (m_child)
        disconnect(m_child, nullptr, this, nullptr);
    if (!live || !live->isTreeAlive())
        return;
    if (live->isRunning())
        logLine(QStringLiteral("[Nerim][DevServerRunner] deinit force-terminating pid=%1").arg(live->processId()));
    // Deleted with this object, the child process has its guard end the whole
    // tree (SIGTERM, SIGKILL after the stop limit) without anyone waiting here.
    live->stop();
}

// ---- pure building blocks ----

bool DevServerRunner::isCompoundCommand(const QString &command)
{
    if (command.contains(QLatin1String("&&")) || command.contains(QLatin1String("||")) ||
        command.contains(QLatin1Char(';')) || command.contains(QLatin1Char('|')))
        return true;
    // `exec NAME=value cmd` is "command not found" in every shell; such a line
    // needs a shell of its own to apply the assignment.
    static const QRegularExpression assignment(QStringLiteral(R"(^\s*[A-Za-z_][A-Za-z0-9_]*=)"));
    return assignment.match(command).hasMatch();
}

QString DevServerRunner::launchScript(const LaunchPlan &plan)
{
    const QString quote = QStringLiteral("'\\''");
    QString folder = plan.workingDirectory;
    folder.replace(QLatin1Char('\''), quote);
    const QString variable = QString::fromLatin1(launchCommandVariable);
    QString script = QStringLiteral("echo '[nerim] launching your app...' && cd '") + folder + QStringLiteral("' && ");
    if (isCompoundCommand(plan.shellCommand))
        script += QStringLiteral("exec /bin/bash -c 'c=$%1; unset %1; eval \"$c\"'").arg(variable);
    else
        script += QStringLiteral("c=$%1 && unset %1 && eval \"exec $c\"").arg(variable);
    return script;
}

QProcessEnvironment DevServerRunner::childEnvironment(const QProcessEnvironment &base)
{
    return devServerEnvironment(base);
}

QString DevServerRunner::missingToolText()
{
    return QStringLiteral("Couldn't find a required tool. Try installing it in Terminal first.");
}

DetectedFailure DevServerRunner::startupCrashFailure()
{
    return startupCrash();
}

QString DevServerRunner::cleanLine(const QString &line)
{
    QString clean = line;
    clean.remove(escapePattern());
    if (clean.endsWith(QLatin1Char('\r')))
        clean.chop(1);
    return clean;
}

std::optional<int> DevServerRunner::extractPort(const QString &line)
{
    const auto digits = firstGroup(portPattern(), line);
    if (!digits)
        return std::nullopt;
    bool ok = false;
    const int port = digits->toInt(&ok);
    return ok ? std::optional<int>(port) : std::nullopt;
}

std::optional<DetectedFailure> DevServerRunner::classifyFailureLine(const QString &line)
{
    using Category = DetectedFailure::Category;
    for (const QRegularExpression &pattern : environmentVariablePatterns()) {
        if (const auto name = firstGroup(pattern, line)) {
            return DetectedFailure{Category::missingEnvVar,
                                   QStringLiteral("Your app crashed on startup — ") + *name + QStringLiteral(" is missing."),
                                   QStringLiteral("Add ") + *name +
                                       QStringLiteral("=<your value> to a .env file in the project root, ") + retryHint,
                                   *name};
        }
    }

    const QString lower = line.toLower();
    if (lower.contains(QLatin1String("cannot find module")) || lower.contains(QLatin1String("module_not_found"))) {
        const auto name = firstGroup(nodeModulePattern(), line);
        // A path ("./config.json", "../lib/db", "/srv/app/main.js") names one
        // of the project's own files, which no package install brings back.
        if (name && isFilePath(*name)) {
            return DetectedFailure{Category::nodemonCatchall,
                                   QStringLiteral("Your app can't find one of its own files: ") + *name +
                                       QLatin1Char('.'),
                                   QStringLiteral("Ask one of your agents to create ") + *name +
                                       QStringLiteral(" or fix the line that loads it, ") + retryHint,
                                   *name};
        }
        const QString hint =
            QStringLiteral("Open Terminal in the project folder and run `npm install`, ") + retryHint;
        if (name)
            return DetectedFailure{Category::missingNodeDependency,
                                   QStringLiteral("Your app is missing a dependency: ") + *name + QLatin1Char('.'), hint,
                                   *name};
        return DetectedFailure{Category::missingNodeDependency,
                               QStringLiteral("Your app is missing one or more dependencies."), hint, std::nullopt};
    }
    if (lower.contains(QLatin1String("modulenotfounderror"))) {
        if (const auto name = firstGroup(pythonPackagePattern(), line)) {
            return DetectedFailure{Category::missingPythonDependency,
                                   QStringLiteral("Your app is missing a Python package: ") + *name + QLatin1Char('.'),
                                   QStringLiteral("Open Terminal in the project folder and run `pip install ") + *name +
                                       QStringLiteral("` (or `pip install -r requirements.txt` if there is one), then "
                                                      "try again."),
                                   *name};
        }
        return DetectedFailure{Category::missingPythonDependency,
                               QStringLiteral("Your app is missing one or more Python packages."),
                               QStringLiteral("Open Terminal in the project folder and run `pip install -r "
                                              "requirements.txt`, then try again."),
                               std::nullopt};
    }
    if (lower.contains(QLatin1String("eaddrinuse")) || lower.contains(QLatin1String("address already in use"))) {
        const QString hint = QStringLiteral(
            "Close the other app (or a previous Nerim run) that's holding the port, then try again.");
        if (const auto port = extractPort(line)) {
            const QString number = QString::number(*port);
            return DetectedFailure{Category::portInUse,
                                   QStringLiteral("Something else is already using port ") + number + QLatin1Char('.'),
                                   hint, number};
        }
        return DetectedFailure{Category::portInUse, QStringLiteral("The port your app wants is already taken."), hint,
                               std::nullopt};
    }
    if (lower.contains(QLatin1String("[nodemon] app crashed")))
        return startupCrash();
    return std::nullopt;
}

// ---- observable state ----

void DevServerRunner::setStatus(const Status &status)
{
    if (m_status == status)
        return;
    m_status = status;
    emit statusChanged();
}

void DevServerRunner::setDetectedURL(const std::optional<QUrl> &url)
{
    if (m_detectedURL == url)
        return;
    m_detectedURL = url;
    emit detectedURLChanged();
}

void DevServerRunner::setLastFailure(const std::optional<DetectedFailure> &failure)
{
    if (m_lastFailure == failure)
        return;
    m_lastFailure = failure;
    emit lastFailureChanged();
}

// ---- starting ----

QCoro::Task<> DevServerRunner::start(LaunchPlan plan)
{
    QPointer<DevServerRunner> self(this);

    // Whatever the status says, a child that still lives, or processes an
    // exited one left running, are stopped first, so two copies of the server
    // never run side by side.
    if (m_child || m_leftover) {
        co_await stop();
        if (!self)
            co_return;
    }
    // Another start may have launched its child while this one waited; that
    // child is stopped too, so only one server is left running.
    while (m_child || m_leftover) {
        co_await stop();
        if (!self)
            co_return;
    }

    const quint64 runId = ++m_runId;
    m_stopRequested = false;
    setStatus(Status::starting(plan.humanDescription));
    setDetectedURL(std::nullopt);
    m_failureReported = false;
    setLastFailure(std::nullopt);
    if (!m_recentOutput.isEmpty()) {
        m_recentOutput.clear();
        emit recentOutputChanged();
    }

    const QString shell = m_options.shell.isEmpty() ? platform::loginShell() : m_options.shell;
    const QString script = launchScript(plan);

    // A missing shell is found here, before anything is started.
    const QFileInfo shellInfo(shell);
    if (!shellInfo.isFile() || !shellInfo.isExecutable()) {
        logLine(QStringLiteral("[Nerim][DevServerRunner] LAUNCH FAILED: %1 was not found").arg(shell));
        setStatus(Status::failed(missingToolText()));
        teardown();
        co_return;
    }

    platform::ChildProcess::Options launch;
    launch.program = shell;
    launch.arguments = {QStringLiteral("-l"), QStringLiteral("-c"), script};
    launch.environment = childEnvironment(m_options.baseEnvironment.value_or(QProcessEnvironment::systemEnvironment()));
    launch.environment.insert(QString::fromLatin1(launchCommandVariable), plan.shellCommand);
    // Only a line feed ends a line; cleanLine drops the CR of a CRLF.
    launch.carriageReturnEndsLine = false;
    launch.gracePeriod = m_options.stopLimit;
    // The server and all it starts live in a PID namespace of their own, so
    // they end with the guard even when the guard is killed outright (the
    // network stays the host's: the preview reaches the server on 127.0.0.1).
    launch.pidNamespace = true;
    // The namespace also keeps Nerim's keys and the agent's settings out of its
    // reach, and lets it write only its project (not the project's .git and
    // .nerim), a private /tmp and private copies of the package tools' caches.
    launch.hiddenPaths = m_options.hiddenPaths.value_or(devServerHiddenPaths());
    const DevServerPlaces places =
        devServerPlaces(plan.projectFolder.isEmpty() ? plan.workingDirectory : plan.projectFolder);
    launch.confined = true;
    launch.writablePaths = places.writable + m_options.alsoWritable;
    launch.readOnlyPaths = places.readOnly;
    launch.privateFolders = places.privateFolders;

    auto *child = new platform::ChildProcess(this);
    connect(child, &platform::ChildProcess::outputLine, this, [this, runId](const QString &line, bool) {
        if (runId == m_runId)
            handleLine(line);
    });
    connect(child, &platform::ChildProcess::exited, this,
            [this, runId](int exitCode, bool normalExit) { handleExit(runId, exitCode, normalExit); });
    connect(child, &platform::ChildProcess::started, this, [this, runId, child, command = plan.shellCommand] {
        if (runId != m_runId)
            return;
        m_processGroup = child->processId();
        // Never an assignment's value: the command may hold a key.
        if (lcDevServerOutput().isDebugEnabled())
            logLine(QStringLiteral("[Nerim][DevServerRunner] launched (pid=%1): %2")
                        .arg(QString::number(m_processGroup), launchCommandForLog(command)));
        else
            logLine(QStringLiteral("[Nerim][DevServerRunner] launched (pid=%1)").arg(m_processGroup));
    });
    connect(child, &platform::ChildProcess::killing, this, [child] {
        logLine(QStringLiteral("[Nerim][DevServerRunner] pid=%1 still running after SIGTERM, sending SIGKILL")
                    .arg(child->processId()));
    });

    m_child = child;
    const QPointer<platform::ChildProcess> launchedChild(child);
    QFuture<bool> launched = child->whenStarted();
    child->start(launch);
    const bool ok = co_await launched;
    if (!self)
        co_return;
    if (runId != m_runId || !launchedChild || m_child != launchedChild)
        co_return; // stopped, or a newer start took over, meanwhile

    if (!ok) {
        const QString reason = child->errorString();
        logLine(QStringLiteral("[Nerim][DevServerRunner] LAUNCH FAILED: %1").arg(reason));
        setStatus(Status::failed(child->startErrorNumber() == ENOENT ? missingToolText() : reason));
        teardown();
    }
    // Launched: the start was logged and the group noted as it was reported,
    // before any output or exit of the child.
}

// ---- output ----

void DevServerRunner::handleLine(const QString &rawLine)
{
    QPointer<DevServerRunner> self(this);
    const quint64 runId = m_runId;
    const QString line = cleanLine(rawLine);

    if (m_status.is(Status::Kind::starting) && !line.trimmed().isEmpty())
        setStatus(Status::running(m_detectedURL));

    if (lcDevServerOutput().isDebugEnabled())
        logLine(QStringLiteral("[Nerim][DevServerRunner] out: %1").arg(line));

    m_recentOutput.append(line);
    while (m_recentOutput.size() > recentOutputCap)
        m_recentOutput.removeFirst();
    emit recentOutputChanged();

    if (onOutputLine) {
        const auto callback = onOutputLine;
        callback(line);
        if (!self || runId != m_runId)
            return;
    }

    if (!m_detectedURL) {
        if (const auto url = detectLocalURL(line)) {
            logLine(QStringLiteral("[Nerim][DevServerRunner] URL detected: %1").arg(localurl::addressForLog(*url)));
            setDetectedURL(url);
            if (m_status.is(Status::Kind::running))
                setStatus(Status::running(url));
            if (onURLDetected) {
                const auto callback = onURLDetected;
                callback(*url);
                if (!self || runId != m_runId)
                    return;
            }
        }
    }

    if (!m_failureReported) {
        if (const auto failure = classifyFailureLine(line))
            reportFailure(*failure);
    }
}

void DevServerRunner::reportFailure(const DetectedFailure &failure)
{
    logLine(QStringLiteral("[Nerim][DevServerRunner] failure detected [%1]: %2")
                .arg(rawValue(failure.category), failure.summary));
    m_failureReported = true;
    setLastFailure(failure);
    setStatus(Status::crashed(failure.summary, failure.hint));
    if (onFailureDetected) {
        const auto callback = onFailureDetected;
        callback(failure);
    }
}

// ---- exit and stop ----

void DevServerRunner::handleExit(quint64 runId, int exitCode, bool normalExit)
{
    if (runId != m_runId)
        return; // an earlier run; its child was already torn down
    QPointer<DevServerRunner> self(this);

    // Every line of the run, an unfinished last one included, came before this.
    const bool clean = m_stopRequested || (normalExit && exitCode == 0);
    // A server that dies before it ever gave an address, without a recognised
    // cause ("command not found", a syntax error), still gets a failure the
    // repair flow can act on.
    if (!clean && !m_failureReported && !m_detectedURL) {
        reportFailure(startupCrash());
        if (!self || runId != m_runId)
            return;
    }
    setStatus(Status::stopped(static_cast<qint32>(exitCode), clean));
    teardown();
}

void DevServerRunner::teardown()
{
    if (platform::ChildProcess *child = m_child) {
        m_child = nullptr;
        disconnect(child, nullptr, this, nullptr);
        if (child->isTreeAlive()) {
            // Processes the child started can outlive it (a server sent to the
            // background). They are kept track of until they end, so that
            // stopping, starting again, this runner going away and quitting
            // still reach them; they are forgotten as soon as none is left.
            if (m_leftover)
                m_leftover->stop(); // never happens: a start stops leftovers first
            m_leftover = child;
            connect(child, &platform::ChildProcess::treeEnded, this, [this, child] {
                if (m_leftover == child)
                    m_leftover = nullptr;
                child->deleteLater();
            });
        } else {
            child->deleteLater();
        }
    }
    m_processGroup = 0;
}

QCoro::Task<> DevServerRunner::stop()
{
    QPointer<DevServerRunner> self(this);
    const QPointer<platform::ChildProcess> target = m_child ? m_child : m_leftover;
    const quint64 runId = m_runId;

    if (!target || !target->isTreeAlive()) {
        teardown();
        co_return;
    }
    if (target == m_child)
        m_stopRequested = true;
    // The guard signals the child and everything it started, SIGTERM then
    // SIGKILL after the stop limit; this only waits, from the event loop.
    target->stop();
    const QDeadlineTimer deadline(m_options.stopLimit + std::chrono::milliseconds(5000));
    while (target && target->isTreeAlive() && !deadline.hasExpired()) {
        co_await QCoro::sleepFor(m_options.stopPollInterval);
        if (!self)
            co_return;
    }
    if (target && target->isTreeAlive())
        logLine(QStringLiteral("[Nerim][DevServerRunner] pid=%1 did not end after SIGKILL").arg(target->processId()));
    // The exit report normally tore the run down already; if it did not come,
    // this run is over all the same.
    if (runId == m_runId && target && m_child == target)
        handleExit(runId, SIGKILL, false);
    if (target && m_leftover == target) {
        m_leftover = nullptr;
        target->deleteLater();
    }
}

} // namespace nerim
