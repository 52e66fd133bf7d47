#include "agents/ClaudeCodeProvider.h"

#include "agents/AgentError.h"
#include "agents/ClaudeBinary.h"
#include "agents/OutputLineSplitter.h"
#include "agents/PromptAssembly.h"
#include "foundation/Log.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"

#include <QCoreApplication>
#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QPromise>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <sys/prctl.h>
#include <system_error>
#include <unistd.h>

namespace nerim {

// One running child: its process, its line splitters and its stream. Lives on
// the GUI thread and deletes itself once the process has ended and its last
// event has been delivered.
class AgentProcessSession : public QObject {
public:
    AgentProcessSession(QUuid id, std::chrono::milliseconds gracePeriod, QObject *parent)
        : QObject(parent), m_id(id), m_stream(AgentOutputStream::create()), m_gracePeriod(gracePeriod)
    {
        m_process = new QProcess(this);
        registry().insert(this);
        ensureQuitHook();
    }

    ~AgentProcessSession() override { registry().remove(this); }

    QUuid id() const { return m_id; }
    QProcess *process() const { return m_process; }
    const std::shared_ptr<AgentOutputStream> &stream() const { return m_stream; }
    bool isRunning() const { return m_process->state() != QProcess::NotRunning; }

    // Called once, with the provider's callback for the end of the session.
    void wire(std::function<void(const QUuid &)> onEnded)
    {
        m_onEnded = std::move(onEnded);
        connect(m_process, &QProcess::readyReadStandardOutput, this, [this] { readStdout(); });
        connect(m_process, &QProcess::readyReadStandardError, this, [this] { readStderr(); });
        connect(m_process, &QProcess::finished, this, [this](int, QProcess::ExitStatus) { processFinished(); });
    }

    std::chrono::milliseconds gracePeriod() const { return m_gracePeriod; }

    // SIGTERM to the whole group now, SIGKILL after the grace period if the
    // process still runs. Safe to call more than once.
    void requestStop()
    {
        if (!isRunning() || m_stopRequested)
            return;
        m_stopRequested = true;
        signalGroup(SIGTERM);
        QTimer::singleShot(m_gracePeriod, this, [this] {
            if (isRunning()) {
                logLine(QStringLiteral("[Nerim agent] agent process %1 ignored SIGTERM; sending SIGKILL")
                            .arg(m_process->processId()));
                signalGroup(SIGKILL);
            }
        });
    }

    void signalGroup(int signal)
    {
        const qint64 pid = m_process->processId();
        if (pid <= 0)
            return;
        // The child made itself the leader of its own group before exec.
        if (::kill(-static_cast<pid_t>(pid), signal) != 0)
            ::kill(static_cast<pid_t>(pid), signal);
    }

    // A session whose launch failed: nothing will be delivered.
    void abandon()
    {
        m_onEnded = nullptr;
        m_stream->finish();
    }

    static QSet<AgentProcessSession *> &registry()
    {
        static QSet<AgentProcessSession *> sessions;
        return sessions;
    }

private:
    static void ensureQuitHook()
    {
        static bool hooked = false;
        if (hooked || !QCoreApplication::instance())
            return;
        hooked = true;
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit,
                         &ClaudeCodeProvider::terminateAllForQuit);
    }

    void readStdout()
    {
        const QByteArray bytes = m_process->readAllStandardOutput();
        m_stdoutSplitter.feed(bytes, [this](QString line) { m_stream->yield(AgentOutput::stdoutLine(std::move(line))); });
    }

    void readStderr()
    {
        const QByteArray bytes = m_process->readAllStandardError();
        m_stderrSplitter.feed(bytes, [this](QString line) { m_stream->yield(AgentOutput::stderrLine(std::move(line))); });
    }

    void processFinished()
    {
        if (m_finished)
            return;
        m_finished = true;
        // Whatever is still buffered belongs before the exit event; a last line
        // without a terminator is delivered too.
        readStdout();
        readStderr();
        m_stdoutSplitter.finish([this](QString line) { m_stream->yield(AgentOutput::stdoutLine(std::move(line))); });
        m_stderrSplitter.finish([this](QString line) { m_stream->yield(AgentOutput::stderrLine(std::move(line))); });
        // For a child ended by a signal, Qt reports the signal's number as the exit code.
        m_stream->yield(AgentOutput::processExited(static_cast<qint32>(m_process->exitCode())));
        m_stream->finish();
        if (auto onEnded = std::exchange(m_onEnded, nullptr))
            onEnded(m_id);
        deleteLater();
    }

    QUuid m_id;
    QProcess *m_process = nullptr;
    std::shared_ptr<AgentOutputStream> m_stream;
    OutputLineSplitter m_stdoutSplitter;
    OutputLineSplitter m_stderrSplitter;
    std::function<void(const QUuid &)> m_onEnded;
    std::chrono::milliseconds m_gracePeriod;
    bool m_stopRequested = false;
    bool m_finished = false;
};

namespace {

// What the worker thread prepares for a launch.
struct PreparedLaunch {
    std::optional<AgentError> error;
    QString binary;
    QString prompt;
    QString digest;
    QHash<QString, QString> environment;
};

QHash<QString, QString> inheritedEnvironment()
{
    QHash<QString, QString> env;
    const QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    for (const QString &key : system.keys())
        env.insert(key, system.value(key));
    return env;
}

} // namespace

QString promptDigest(const QString &text)
{
    return QStringLiteral("sha256:") +
           QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QStringList claudeArguments(ModelChoice model)
{
    return {QStringLiteral("--print"),         QStringLiteral("--permission-mode"), QStringLiteral("acceptEdits"),
            QStringLiteral("--output-format"), QStringLiteral("text"),              QStringLiteral("--model"),
            modelId(model)};
}

QString checkWorkingDirectory(const QString &projectPath)
{
    const QFileInfo info(projectPath);
    if (info.exists() || info.isSymLink()) {
        if (info.isDir())
            return projectPath;
        throw std::runtime_error(
            (QStringLiteral("Project path exists but is a file, not a directory: ") + projectPath).toStdString());
    }
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(QFile::encodeName(projectPath).toStdString()), error);
    if (error) {
        throw std::runtime_error(QStringLiteral("Could not create the project folder %1: %2")
                                     .arg(projectPath, QString::fromStdString(error.message()))
                                     .toStdString());
    }
    return projectPath;
}

QHash<QString, QString> childEnvironment(const QHash<QString, QString> &inherited,
                                         const QHash<QString, QString> &managedKeys,
                                         const QString &claudeBinaryPath)
{
    QHash<QString, QString> env = inherited;
    const auto &overlay = IntentProcessorConstants::subprocessEnvironment();
    for (auto it = overlay.begin(); it != overlay.end(); ++it)
        env.insert(it.key(), it.value());
    for (auto it = managedKeys.begin(); it != managedKeys.end(); ++it)
        env.insert(it.key(), it.value());

    // A `claude` installed with npm is a Node script: its own folder (where npm
    // also put `node`) comes first, and the user's PATH stays reachable after
    // the fixed list.
    QStringList entries;
    const auto add = [&entries](const QString &entry) {
        if (!entry.isEmpty() && !entries.contains(entry))
            entries.append(entry);
    };
    if (!claudeBinaryPath.isEmpty())
        add(QFileInfo(claudeBinaryPath).absolutePath());
    for (const QString &entry : env.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts))
        add(entry);
    for (const QString &entry : inherited.value(QStringLiteral("PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts))
        add(entry);
    env.insert(QStringLiteral("PATH"), entries.join(QLatin1Char(':')));
    return env;
}

namespace {

QMutex &defaultEnvironmentMutex()
{
    static QMutex mutex;
    return mutex;
}

ClaudeCodeProvider::EnvironmentSource &defaultEnvironmentSource()
{
    static ClaudeCodeProvider::EnvironmentSource source;
    return source;
}

ClaudeCodeProvider::EnvironmentSource defaultManagedKeysEnvironment()
{
    QMutexLocker lock(&defaultEnvironmentMutex());
    if (defaultEnvironmentSource())
        return defaultEnvironmentSource();
    return [] { return QHash<QString, QString>(); };
}

} // namespace

void ClaudeCodeProvider::setDefaultManagedKeysEnvironment(EnvironmentSource source)
{
    QMutexLocker lock(&defaultEnvironmentMutex());
    defaultEnvironmentSource() = std::move(source);
}

ClaudeCodeProvider::ClaudeCodeProvider(QString projectPath, QObject *parent)
    : ClaudeCodeProvider(std::move(projectPath), Options{}, parent)
{
}

ClaudeCodeProvider::ClaudeCodeProvider(QString projectPath, Options options, QObject *parent)
    : QObject(parent), m_projectPath(std::move(projectPath)), m_options(std::move(options))
{
    if (!m_options.resolveBinary)
        m_options.resolveBinary = [] { return resolveClaudeBinary(); };
    if (!m_options.managedKeysEnvironment)
        m_options.managedKeysEnvironment = defaultManagedKeysEnvironment();
}

ClaudeCodeProvider::~ClaudeCodeProvider()
{
    // No agent goes on editing files once its project is gone: running children
    // move to the application object, are stopped and clean up after themselves.
    for (AgentProcessSession *session : findChildren<AgentProcessSession *>(Qt::FindDirectChildrenOnly)) {
        if (!session->isRunning())
            continue;
        session->setParent(QCoreApplication::instance());
        session->requestStop();
    }
}

QCoro::Task<AgentSession> ClaudeCodeProvider::spawn(AgentRole role, QList<ContextEntry> recentEntries,
                                                    QList<ConversationTurn> priorTurns, QString task,
                                                    ProjectAwareness awareness, ModelChoice model)
{
    QPointer<ClaudeCodeProvider> self(this);

    // Looking for the program, checking the folder, listing it for the prompt
    // and asking for the credentials all touch the disk or the keyring: do them
    // on a worker thread.
    auto work = [projectPath = m_projectPath, resolve = m_options.resolveBinary,
                 managedKeys = m_options.managedKeysEnvironment, role, recentEntries = std::move(recentEntries),
                 priorTurns = std::move(priorTurns), task = std::move(task),
                 awareness = std::move(awareness)]() -> PreparedLaunch {
        PreparedLaunch prepared;
        try {
            const std::optional<QString> binary = resolve();
            if (!binary) {
                prepared.error = AgentError::binaryNotFound(claudeFixedInstallPaths());
                return prepared;
            }
            prepared.binary = *binary;
            try {
                checkWorkingDirectory(projectPath);
            } catch (const std::exception &e) {
                prepared.error = AgentError::workingDirectoryUnavailable(QString::fromUtf8(e.what()));
                return prepared;
            }
            prepared.prompt = assemblePrompt(role, projectPath, recentEntries, priorTurns, awareness, task);
            prepared.digest = promptDigest(prepared.prompt);
            prepared.environment = childEnvironment(inheritedEnvironment(), managedKeys(), prepared.binary);
        } catch (const std::exception &e) {
            prepared.error = AgentError::spawnFailed(QString::fromUtf8(e.what()));
        } catch (...) {
            prepared.error = AgentError::spawnFailed(QStringLiteral("unknown error while preparing the agent"));
        }
        return prepared;
    };
    PreparedLaunch prepared = co_await QtConcurrent::run(std::move(work));
    if (!self)
        throw AgentError::spawnFailed(QStringLiteral("the project was closed before the agent started"));
    if (prepared.error)
        throw *prepared.error;

    const QUuid id = newUuid();
    auto *session = new AgentProcessSession(id, m_options.terminateGracePeriod, this);
    QPointer<AgentProcessSession> guard(session);
    const std::shared_ptr<AgentOutputStream> stream = session->stream();
    QProcess *process = session->process();
    process->setProgram(prepared.binary);
    process->setArguments(claudeArguments(model));
    process->setWorkingDirectory(m_projectPath);
    QProcessEnvironment environment;
    for (auto it = prepared.environment.begin(); it != prepared.environment.end(); ++it)
        environment.insert(it.key(), it.value());
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::SeparateChannels);
    const pid_t parentPid = ::getpid();
    process->setChildProcessModifier([parentPid] {
        // Own process group, so stopping the agent reaches everything it started;
        // and SIGTERM when Nerim dies, so no agent outlives its window.
        ::setpgid(0, 0);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parentPid)
            ::raise(SIGTERM);
    });
    // Registered before the launch, so an agent that ends at once is still
    // accounted for: its events wait in the stream until fetched.
    m_sessions.insert(id, session);
    m_streams.insert(id, StreamSlot{stream, false, false});
    session->wire([self](const QUuid &endedId) {
        if (self)
            self->sessionEnded(endedId);
    });

    auto startedPid = std::make_shared<qint64>(0);
    connect(process, &QProcess::started, process, [process, startedPid] { *startedPid = process->processId(); });

    process->start(QIODevice::ReadWrite);
    // Wait for the launch to succeed or fail (a failed exec never emits `started`).
    // (QCoro's signal awaiter is not used here: QProcess's signals are private
    // signals, and awaiting those passes a null QPrivateSignal reference.)
    while (guard && process->state() == QProcess::Starting) {
        auto changed = std::make_shared<QPromise<void>>();
        changed->start();
        QFuture<void> whenChanged = changed->future();
        const auto finish = [changed] {
            if (!changed->future().isFinished())
                changed->finish();
        };
        const auto stateConnection = connect(process, &QProcess::stateChanged, process, finish);
        const auto goneConnection = connect(process, &QObject::destroyed, process, finish);
        co_await whenChanged;
        if (guard) {
            disconnect(stateConnection);
            disconnect(goneConnection);
        }
    }
    const bool started = guard && process->state() == QProcess::Running;
    {
        // Leave QProcess's own signal emission before going on, so the caller's
        // continuation never runs inside it.
        QTimer hop;
        hop.setSingleShot(true);
        hop.start(0);
        co_await hop;
    }
    const qint64 pid = *startedPid ? *startedPid : (guard ? process->processId() : 0);
    if (!self)
        throw AgentError::spawnFailed(QStringLiteral("the project was closed before the agent started"));
    if (!started) {
        QString reason = guard ? process->errorString() : QStringLiteral("the agent process could not be started");
        m_sessions.remove(id);
        m_streams.remove(id);
        if (guard) {
            guard->abandon();
            guard->deleteLater();
        }
        throw AgentError::spawnFailed(reason);
    }

    // The prompt goes in on standard input, which is then closed; QProcess
    // writes it from the event loop as the child reads.
    if (guard && guard->isRunning() && started) {
        process->write(prepared.prompt.toUtf8());
        process->closeWriteChannel();
    }

    AgentSession result;
    result.id = id;
    result.role = role;
    result.provider = AgentProviderType::claudeCode;
    result.spawnedAt = Timestamp::now();
    result.processID = static_cast<qint32>(pid);
    result.openingPromptDigest = prepared.digest;
    co_return result;
}

QCoro::Task<> ClaudeCodeProvider::send(QUuid sessionId, QString text)
{
    Q_UNUSED(sessionId);
    Q_UNUSED(text);
    throw AgentError::sessionNotAlive();
    co_return;
}

QCoro::Task<std::shared_ptr<AgentOutputStream>> ClaudeCodeProvider::outputStream(QUuid sessionId)
{
    auto it = m_streams.find(sessionId);
    if (it == m_streams.end())
        co_return AgentOutputStream::finishedStream();
    std::shared_ptr<AgentOutputStream> stream = it->stream;
    if (it->ended)
        m_streams.erase(it);
    else
        it->fetched = true;
    co_return stream;
}

QCoro::Task<> ClaudeCodeProvider::terminate(QUuid sessionId)
{
    m_streams.remove(sessionId);
    AgentProcessSession *session = m_sessions.take(sessionId);
    if (session)
        session->requestStop();
    co_return;
}

void ClaudeCodeProvider::sessionEnded(const QUuid &id)
{
    m_sessions.remove(id);
    auto it = m_streams.find(id);
    if (it == m_streams.end())
        return;
    if (it->fetched)
        m_streams.erase(it);
    else
        it->ended = true; // kept until fetched once
}

void ClaudeCodeProvider::terminateAllForQuit()
{
    const QList<AgentProcessSession *> sessions = AgentProcessSession::registry().values();
    QList<QPointer<AgentProcessSession>> running;
    std::chrono::milliseconds grace{0};
    for (AgentProcessSession *session : sessions) {
        if (!session->isRunning())
            continue;
        session->signalGroup(SIGTERM);
        running.append(session);
        grace = std::max(grace, session->gracePeriod());
    }
    if (running.isEmpty())
        return;
    QDeadlineTimer deadline(grace);
    for (const auto &session : running) {
        if (session && session->isRunning())
            session->process()->waitForFinished(static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)));
    }
    for (const auto &session : running) {
        if (session && session->isRunning()) {
            session->signalGroup(SIGKILL);
            session->process()->waitForFinished(500);
        }
    }
}

} // namespace nerim
