#include "launcher/DevServerRunner.h"

#include "foundation/Log.h"
#include "launcher/DevServerEnvironment.h"
#include "launcher/LocalURLDetection.h"
#include "platform/LoginShell.h"
#include "platform/ProcessGroup.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QFuture>
#include <QLoggingCategory>
#include <QProcess>
#include <QPromise>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
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

DetectedFailure startupCrash()
{
    return DetectedFailure{DetectedFailure::Category::nodemonCatchall, QStringLiteral("Your app crashed on startup."),
                           QStringLiteral("Ask one of your agents “what went wrong?” — they can read the error "
                                          "output and help fix it."),
                           std::nullopt};
}

// ---- children that outlive their runner ----

// Takes over the child of a runner that goes away while it still runs: the
// group gets SIGTERM at once and SIGKILL when the stop limit passes, and the
// QProcess is deleted once its leader has exited, all without blocking. When
// the application quits it stops every group still known, waiting at most the
// stop limit for them to go.
class ChildReaper : public QObject {
public:
    static ChildReaper *instance()
    {
        static QPointer<ChildReaper> reaper;
        if (!reaper && QCoreApplication::instance()) {
            reaper = new ChildReaper(QCoreApplication::instance());
            connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, reaper,
                    [r = reaper.data()] { r->stopEverythingNow(); });
        }
        return reaper;
    }

    // Groups of live runners, so that quitting stops them too.
    static QSet<qint64> &liveGroups()
    {
        static QSet<qint64> groups;
        return groups;
    }

    // `process` may be null: a group whose leader has already exited.
    void adopt(QProcess *process, qint64 group, std::chrono::milliseconds limit)
    {
        if (process)
            process->setParent(this);
        platform::signalProcessGroup(group, SIGTERM);
        m_orphans.insert(group);
        auto *timer = new QTimer(this);
        timer->setInterval(100);
        const QDeadlineTimer deadline(limit);
        QPointer<QProcess> child(process);
        connect(timer, &QTimer::timeout, this, [this, timer, child, group, deadline, killed = false]() mutable {
            const bool leaderRunning = child && child->state() != QProcess::NotRunning;
            const bool groupAlive = platform::processGroupHasLiveMembers(group);
            if (!leaderRunning && (!groupAlive || killed)) {
                m_orphans.remove(group);
                if (child)
                    child->deleteLater();
                timer->deleteLater();
                return;
            }
            if (!killed && deadline.hasExpired()) {
                platform::signalProcessGroup(group, SIGKILL);
                killed = true;
            }
        });
        timer->start();
    }

private:
    explicit ChildReaper(QObject *parent) : QObject(parent) {}

    // Runs once, when the event loop is about to end: nothing is left to
    // keep responsive, and no child may outlive the application.
    void stopEverythingNow()
    {
        QSet<qint64> groups = m_orphans;
        groups.unite(liveGroups());
        if (groups.isEmpty())
            return;
        for (const qint64 group : std::as_const(groups))
            platform::signalProcessGroup(group, SIGTERM);
        const QDeadlineTimer deadline(std::chrono::milliseconds(2000));
        const auto anyAlive = [&] {
            for (const qint64 group : std::as_const(groups)) {
                if (platform::processGroupHasLiveMembers(group))
                    return true;
            }
            return false;
        };
        while (anyAlive() && !deadline.hasExpired())
            QThread::msleep(50);
        if (!anyAlive())
            return;
        for (const qint64 group : std::as_const(groups))
            platform::signalProcessGroup(group, SIGKILL);
        // SIGKILL cannot be caught; the processes are gone within moments.
        const QDeadlineTimer killDeadline(std::chrono::milliseconds(1000));
        while (anyAlive() && !killDeadline.hasExpired())
            QThread::msleep(10);
    }

    QSet<qint64> m_orphans;
};

} // namespace

// ---- construction ----

DevServerRunner::DevServerRunner(QObject *parent) : DevServerRunner(Options{}, parent) {}

DevServerRunner::DevServerRunner(Options options, QObject *parent) : QObject(parent), m_options(std::move(options))
{
    // Compile the shared patterns now rather than on the first output line.
    escapePattern();
    environmentVariablePatterns();
    ChildReaper::instance();
}

DevServerRunner::~DevServerRunner()
{
    // The group of the running child, or one left behind by a leader that exited.
    const qint64 group = m_process ? m_processGroup : m_strayGroup;
    QProcess *process = m_process;
    if (process)
        disconnect(process, nullptr, this, nullptr);
    ChildReaper::liveGroups().remove(group);
    const bool leaderRunning = process && process->state() != QProcess::NotRunning;
    if (!leaderRunning && !platform::processGroupHasLiveMembers(group))
        return; // an exited child is deleted with this object
    logLine(QStringLiteral("[Nerim][DevServerRunner] deinit force-terminating pid=%1").arg(group));
    if (ChildReaper *reaper = ChildReaper::instance())
        reaper->adopt(leaderRunning ? process : nullptr, group, m_options.stopLimit);
    else
        platform::signalProcessGroup(group, SIGTERM);
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
    QString script = QStringLiteral("echo '[nerim] launching your app...' && cd '") + folder + QStringLiteral("' && exec ");
    if (isCompoundCommand(plan.shellCommand)) {
        QString command = plan.shellCommand;
        command.replace(QLatin1Char('\''), quote);
        script += QStringLiteral("/bin/bash -c '") + command + QLatin1Char('\'');
    } else {
        script += plan.shellCommand;
    }
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

    // Whatever the status says, a child that still lives is stopped first, so
    // two copies of the server never run side by side.
    if (m_process || platform::processGroupHasLiveMembers(m_strayGroup)) {
        co_await stop();
        if (!self)
            co_return;
    }
    // Another start may have launched its child while this one waited; that
    // child is stopped too, so only one server is left running.
    while (m_process) {
        co_await stop();
        if (!self)
            co_return;
    }

    const quint64 runId = ++m_runId;
    m_stopRequested = false;
    setStatus(Status::starting(plan.humanDescription));
    setDetectedURL(std::nullopt);
    m_stdoutBuffer.clear();
    m_stderrBuffer.clear();
    m_failureReported = false;
    setLastFailure(std::nullopt);
    if (!m_recentOutput.isEmpty()) {
        m_recentOutput.clear();
        emit recentOutputChanged();
    }

    const QString shell = m_options.shell.isEmpty() ? platform::loginShell() : m_options.shell;
    const QString script = launchScript(plan);

    // QProcess reports no errno for a failed launch; a missing shell is found here.
    const QFileInfo shellInfo(shell);
    if (!shellInfo.isFile() || !shellInfo.isExecutable()) {
        logLine(QStringLiteral("[Nerim][DevServerRunner] LAUNCH FAILED: %1 was not found").arg(shell));
        setStatus(Status::failed(missingToolText()));
        teardown();
        co_return;
    }

    auto *process = new QProcess(this);
    process->setProgram(shell);
    process->setArguments({QStringLiteral("-l"), QStringLiteral("-c"), script});
    process->setProcessEnvironment(
        childEnvironment(m_options.baseEnvironment.value_or(QProcessEnvironment::systemEnvironment())));
    process->setStandardInputFile(QProcess::nullDevice());
    process->setChildProcessModifier(&platform::becomeProcessGroupLeader);

    connect(process, &QProcess::readyReadStandardOutput, this, [this, runId] { readOutput(runId, false); });
    connect(process, &QProcess::readyReadStandardError, this, [this, runId] { readOutput(runId, true); });
    connect(process, &QProcess::finished, this, [this, runId](int exitCode, QProcess::ExitStatus exitStatus) {
        handleExit(runId, exitCode, exitStatus == QProcess::NormalExit);
    });

    // Resolves once the child has started or failed to.
    auto promise = std::make_shared<QPromise<bool>>();
    QFuture<bool> launched = promise->future();
    promise->start();
    const auto settle = [promise](bool ok) {
        if (promise->future().isFinished())
            return;
        promise->addResult(ok);
        promise->finish();
    };
    // These stay connected when the runner goes first, so the wait always ends.
    connect(process, &QProcess::started, process, [settle] { settle(true); });
    connect(process, &QProcess::errorOccurred, process, [settle](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            settle(false);
    });
    connect(process, &QObject::destroyed, [settle] { settle(false); });

    m_process = process;
    const QPointer<QProcess> launchedProcess(process);
    process->start(QIODevice::ReadOnly);
    if (process->processId() > 0) {
        m_processGroup = process->processId();
        // The child makes itself a group leader too; doing it from both sides
        // means no signal sent right after the fork can miss the group.
        platform::placeInOwnProcessGroup(m_processGroup);
        ChildReaper::liveGroups().insert(m_processGroup);
    }

    const bool ok = co_await launched;
    if (!self)
        co_return;
    if (runId != m_runId || !launchedProcess || m_process != launchedProcess)
        co_return; // stopped, or a newer start took over, meanwhile

    if (!ok) {
        const QString reason = process->errorString();
        logLine(QStringLiteral("[Nerim][DevServerRunner] LAUNCH FAILED: %1").arg(reason));
        setStatus(Status::failed(reason));
        teardown();
        co_return;
    }
    if (m_processGroup == 0) {
        m_processGroup = process->processId();
        ChildReaper::liveGroups().insert(m_processGroup);
    }
    // The script holds the user's command, inline KEY=value settings included.
    if (lcDevServerOutput().isDebugEnabled())
        logLine(QStringLiteral("[Nerim][DevServerRunner] launched (pid=%1): %2").arg(QString::number(m_processGroup), script));
    else
        logLine(QStringLiteral("[Nerim][DevServerRunner] launched (pid=%1)").arg(m_processGroup));
}

// ---- output ----

void DevServerRunner::readOutput(quint64 runId, bool standardError)
{
    if (runId != m_runId || !m_process)
        return;
    const QByteArray bytes = standardError ? m_process->readAllStandardError() : m_process->readAllStandardOutput();
    if (bytes.isEmpty())
        return;
    if (lcDevServerOutput().isDebugEnabled()) {
        logLine(QStringLiteral("[Nerim][DevServerRunner] %1 chunk (%2 bytes): %3")
                    .arg(standardError ? QStringLiteral("stderr") : QStringLiteral("stdout"))
                    .arg(bytes.size())
                    .arg(QString::fromUtf8(bytes.toPercentEncoding(" !\"#$&'()*+,/:;=?@[]{}<>|~^`\\"))));
    }
    appendBytes(standardError ? m_stderrBuffer : m_stdoutBuffer, bytes);
}

void DevServerRunner::appendBytes(QByteArray &buffer, const QByteArray &bytes)
{
    const quint64 runId = m_runId;
    QPointer<DevServerRunner> self(this);
    buffer.append(bytes);
    // Whole lines are decoded, so a character whose bytes arrive in two reads stays whole.
    qsizetype end;
    while ((end = buffer.indexOf('\n')) >= 0) {
        const QByteArray line = buffer.left(end);
        buffer.remove(0, end + 1);
        handleLine(QString::fromUtf8(line));
        if (!self || runId != m_runId)
            return; // a callback ended this run or this runner
    }
}

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

    // Output still in the pipes, and an unfinished last line, belong to this run.
    readOutput(runId, false);
    if (!self || runId != m_runId)
        return;
    readOutput(runId, true);
    if (!self || runId != m_runId)
        return;
    for (QByteArray *buffer : {&m_stdoutBuffer, &m_stderrBuffer}) {
        if (buffer->isEmpty())
            continue;
        const QByteArray rest = *buffer;
        buffer->clear();
        handleLine(QString::fromUtf8(rest));
        if (!self || runId != m_runId)
            return;
    }

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
    const qint64 group = m_processGroup;
    if (QProcess *process = m_process) {
        disconnect(process, nullptr, this, nullptr);
        m_process = nullptr;
        // Deleting a running QProcess would block until it dies; one whose exit
        // was never reported is handed to the reaper instead.
        ChildReaper *reaper = process->state() == QProcess::NotRunning ? nullptr : ChildReaper::instance();
        if (reaper) {
            ChildReaper::liveGroups().remove(group);
            reaper->adopt(process, group, m_options.stopLimit);
        } else {
            process->deleteLater();
        }
    }
    // Processes the child started can outlive it (a server sent to the
    // background). The group is remembered, so that stopping, starting again,
    // this runner going away and quitting still reach them.
    if (group > 0 && ChildReaper::liveGroups().contains(group)) {
        if (platform::processGroupHasLiveMembers(group)) {
            m_strayGroup = group;
        } else {
            ChildReaper::liveGroups().remove(group);
        }
    }
    m_processGroup = 0;
    m_stdoutBuffer.clear();
    m_stderrBuffer.clear();
}

QCoro::Task<> DevServerRunner::stop()
{
    QPointer<DevServerRunner> self(this);
    QPointer<QProcess> process = m_process;
    const qint64 group = process ? m_processGroup : m_strayGroup;
    const quint64 runId = m_runId;

    const auto leaderRunning = [&] { return process && process->state() != QProcess::NotRunning; };
    const auto anythingAlive = [&] { return leaderRunning() || platform::processGroupHasLiveMembers(group); };
    if (!anythingAlive()) {
        teardown();
        forgetStrayGroup(group);
        co_return;
    }

    if (leaderRunning())
        m_stopRequested = true;
    platform::signalProcessGroup(group, SIGTERM);
    const QDeadlineTimer deadline(m_options.stopLimit);
    while (anythingAlive() && !deadline.hasExpired()) {
        co_await QCoro::sleepFor(m_options.stopPollInterval);
        if (!self)
            co_return;
    }
    if (anythingAlive()) {
        logLine(QStringLiteral("[Nerim][DevServerRunner] pid=%1 still running after SIGTERM, sending SIGKILL").arg(group));
        platform::signalProcessGroup(group, SIGKILL);
    }
    // SIGKILL cannot be ignored; the leader's exit report arrives shortly.
    const QDeadlineTimer reportDeadline(std::chrono::milliseconds(5000));
    while (anythingAlive() && !reportDeadline.hasExpired()) {
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
        if (!self)
            co_return;
    }
    // The exit report normally tore the run down already; if it did not come,
    // this run is over all the same.
    if (runId == m_runId && m_process == process && process)
        handleExit(runId, process->exitCode(), false);
    forgetStrayGroup(group);
}

void DevServerRunner::forgetStrayGroup(qint64 group)
{
    if (group <= 0 || platform::processGroupHasLiveMembers(group))
        return;
    ChildReaper::liveGroups().remove(group);
    if (m_strayGroup == group)
        m_strayGroup = 0;
}

} // namespace nerim
