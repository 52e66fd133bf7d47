#include "agents/ClaudeCodeProvider.h"

#include "agents/AgentError.h"
#include "agents/AgentEventReader.h"
#include "agents/ClaudeBinary.h"
#include "agents/GitExcludes.h"
#include "agents/ProjectInstructions.h"
#include "agents/PromptAssembly.h"
#include "foundation/Log.h"
#include "foundation/UuidText.h"
#include "persistence/IntentProcessorConstants.h"
#include "platform/ChildProcess.h"
#include "platform/guard/GitEnvironment.h"

#include <QCoreApplication>
#include <QCoro/QCoroFuture>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QProcessEnvironment>
#include <QSet>
#include <QtConcurrent/QtConcurrentRun>
#include <stdexcept>
#include <system_error>

namespace nerim {

// One running agent: its child process and its stream. Lives on the GUI thread
// and deletes itself once the agent has ended and its last event has been
// delivered.
class AgentProcessSession : public QObject {
public:
    AgentProcessSession(QUuid id, QObject *parent)
        : QObject(parent), m_id(id), m_stream(AgentOutputStream::create())
    {
        m_child = new platform::ChildProcess(this);
        registry().insert(this);
    }

    ~AgentProcessSession() override { registry().remove(this); }

    QUuid id() const { return m_id; }
    platform::ChildProcess *child() const { return m_child; }
    const std::shared_ptr<AgentOutputStream> &stream() const { return m_stream; }
    bool isRunning() const { return m_child->isRunning(); }

    // Called once, with the provider's callback for the end of the session.
    void wire(std::function<void(const QUuid &)> onEnded)
    {
        m_onEnded = std::move(onEnded);
        connect(m_child, &platform::ChildProcess::outputLines, this,
                [this](const platform::OutputLines &lines, bool standardError) { readLines(lines, standardError); });
        connect(m_child, &platform::ChildProcess::exited, this, [this](int exitCode, bool) { processFinished(exitCode); });
        connect(m_child, &platform::ChildProcess::killing, this, [this] {
            logLine(QStringLiteral("[Nerim agent] agent process %1 ignored SIGTERM; sending SIGKILL")
                        .arg(m_child->processId()));
        });
    }

    // SIGTERM to the agent and everything it started, SIGKILL after the grace
    // period for what still runs. Safe to call more than once.
    void requestStop() { m_child->stop(); }

    // Kept while the agent runs: the copy of the project's notes it reads.
    void keep(std::shared_ptr<ProjectInstructions::File> instructions) { m_instructions = std::move(instructions); }

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
    // One batch of the child's lines becomes one batch of events.
    void readLines(const platform::OutputLines &lines, bool standardError)
    {
        QList<AgentOutput> events;
        events.reserve(lines.size());
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (standardError)
                events.append(AgentOutput::stderrLine(lines.text(i)));
            else if (lines.form(i) == platform::OutputLines::Form::leftOut)
                m_reader.readLeftOut(events);
            else // standard output carries the program's events, one per line
                m_reader.readLine(lines.bytes(i), events);
        }
        m_stream->yield(std::move(events));
    }

    void processFinished(int exitCode)
    {
        if (m_finished)
            return;
        m_finished = true;
        // Every line, a last one without a terminator included, came before this.
        // For an agent ended by a signal, the exit code is the signal's number.
        m_stream->yield(AgentOutput::processExited(static_cast<qint32>(exitCode)));
        m_stream->finish();
        if (auto onEnded = std::exchange(m_onEnded, nullptr))
            onEnded(m_id);
        // Deleting the child process after the agent's end lets its guard
        // finish ending whatever the agent left running.
        deleteLater();
    }

    QUuid m_id;
    platform::ChildProcess *m_child = nullptr;
    std::shared_ptr<AgentOutputStream> m_stream;
    std::function<void(const QUuid &)> m_onEnded;
    bool m_finished = false;
    AgentEventReader m_reader;
    std::shared_ptr<ProjectInstructions::File> m_instructions;
};

namespace {

// What the worker thread prepares for a launch.
struct PreparedLaunch {
    std::optional<AgentError> error;
    QString binary;
    QString prompt;
    QString digest;
    // The child's environment and the prompt's bytes, made here rather than
    // on the GUI thread, and the run's cgroup, made ahead for the same reason.
    QProcessEnvironment environment;
    QByteArray promptBytes;
    std::shared_ptr<platform::PreparedCgroup> cgroup;
    std::shared_ptr<ProjectInstructions::File> instructions; // the project's CLAUDE.md, when it has one
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

QStringList claudeArguments(ModelChoice model, const QString &instructionsFile, AgentRole role)
{
    QStringList arguments{QStringLiteral("--print"),
                          QStringLiteral("--permission-mode"),
                          role == AgentRole::deploy ? QStringLiteral("dontAsk") : QStringLiteral("acceptEdits"),
                          QStringLiteral("--output-format"),
                          QStringLiteral("stream-json"),
                          QStringLiteral("--verbose"),
                          QStringLiteral("--model"),
                          modelId(model),
                          QStringLiteral("--setting-sources"),
                          QStringLiteral("user"),
                          QStringLiteral("--strict-mcp-config")};
    if (!instructionsFile.isEmpty())
        arguments << QStringLiteral("--append-system-prompt-file") << instructionsFile;
    return arguments;
}

QString checkWorkingDirectory(const QString &projectPath)
{
    const QFileInfo info(projectPath);
    if (info.isDir())
        return projectPath;
    if (info.exists() || info.isSymLink())
        throw std::runtime_error(
            (QStringLiteral("Project path exists but is a file, not a directory: ") + projectPath).toStdString());
    // A project folder that is gone (deleted, or on a disk that is not mounted)
    // is never made again here: the agent would work in an empty folder. Start
    // blank makes its new folder itself before anything runs in it.
    throw std::runtime_error((QStringLiteral("The project folder is missing: ") + projectPath).toStdString());
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
    if (!m_options.binaryCandidates)
        m_options.binaryCandidates = [] { return claudeBinaryCandidates(); };
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
                                                    ProjectAwareness awareness, ModelChoice model,
                                                    SpawnExtras extras)
{
    QPointer<ClaudeCodeProvider> self(this);

    // Looking for the program, checking the folder, listing it for the prompt
    // and asking for the credentials all touch the disk or the keyring: do them
    // on a worker thread.
    auto work = [projectPath = m_projectPath, candidatesOf = m_options.binaryCandidates,
                 resolve = m_options.resolveBinary, managedKeys = m_options.managedKeysEnvironment, role,
                 recentEntries = std::move(recentEntries), priorTurns = std::move(priorTurns), task = std::move(task),
                 awareness = std::move(awareness), prepare = extras.prepare]() -> PreparedLaunch {
        PreparedLaunch prepared;
        try {
            const QStringList candidates = candidatesOf();
            const std::optional<QString> binary = resolve ? resolve() : resolveClaudeBinary(candidates);
            if (!binary) {
                // The places really looked at, in order: what the user can check.
                prepared.error = AgentError::binaryNotFound(candidates);
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
            // Task and Repair agents read the project's notes, as in the folder;
            // the Deploy agent, which holds a provider's token, does not.
            if (role != AgentRole::deploy)
                if (const std::optional<QString> notes = ProjectInstructions::read(projectPath))
                    prepared.instructions = ProjectInstructions::File::write(ProjectInstructions::forAgent(projectPath, *notes));
            if (prepare)
                prepare(); // a failure fails the spawn (below)
            prepared.digest = promptDigest(prepared.prompt);
            prepared.promptBytes = prepared.prompt.toUtf8();
            const QHash<QString, QString> environment =
                childEnvironment(inheritedEnvironment(), managedKeys(), prepared.binary);
            for (auto it = environment.begin(); it != environment.end(); ++it)
                prepared.environment.insert(it.key(), it.value());
            prepared.cgroup = platform::PreparedCgroup::make();
        } catch (const std::exception &e) {
            prepared.error = AgentError::spawnFailed(QString::fromUtf8(e.what()));
        } catch (...) {
            prepared.error = AgentError::spawnFailed(QStringLiteral("unknown error while preparing the agent"));
        }
        return prepared;
    };
    // Whatever the agent stages in a git repository, local secrets and Nerim's
    // own folder stay out of it.
    QCoro::Task<std::optional<QString>> excluding = GitExcludes::keepSecretsOut(m_projectPath);
    std::optional<QString> excludeNotice;
    excludeNotice = co_await std::move(excluding);
    if (!self)
        throw AgentError::spawnFailed(QStringLiteral("the project was closed before the agent started"));
    PreparedLaunch prepared = co_await QtConcurrent::run(std::move(work));
    if (!self)
        throw AgentError::spawnFailed(QStringLiteral("the project was closed before the agent started"));
    if (prepared.error)
        throw *prepared.error;

    const QUuid id = newUuid();
    auto *session = new AgentProcessSession(id, this);
    QPointer<AgentProcessSession> guard(session);
    const std::shared_ptr<AgentOutputStream> stream = session->stream();
    platform::ChildProcess *child = session->child();
    if (excludeNotice && *excludeNotice != m_excludeNoticeShown) {
        m_excludeNoticeShown = *excludeNotice;
        stream->yield(AgentOutput::statusLine(*excludeNotice));
    }

    platform::ChildProcess::Options launch;
    launch.program = prepared.binary;
    launch.arguments =
        claudeArguments(model, prepared.instructions ? prepared.instructions->path() : QString(), role) +
        extras.arguments;
    launch.workingDirectory = m_projectPath;
    launch.environment = std::move(prepared.environment);
    launch.preparedCgroup = std::move(prepared.cgroup);
    // The run's own variables go over everything; its folders lead the PATH.
    for (auto it = extras.environment.begin(); it != extras.environment.end(); ++it)
        launch.environment.insert(it.key(), it.value());
    if (!extras.pathEntries.isEmpty()) {
        const QString path = launch.environment.value(QStringLiteral("PATH"));
        launch.environment.insert(QStringLiteral("PATH"), extras.pathEntries.join(QLatin1Char(':')) +
                                                              (path.isEmpty() ? QString() : QStringLiteral(":") + path));
    }
    launch.inputPipe = true;
    // Events are read whole, however big: a tool call that writes a file
    // carries the whole file.
    launch.standardOutputLineLimit = AgentEventReader::maxEventBytes;
    launch.standardOutputOverlong = platform::OutputLineSplitter::Overlong::leaveOut;
    launch.gracePeriod = m_options.terminateGracePeriod;
    // An agent's turn is over when it exits: tool commands it left running
    // (a server it tried out, a watcher) end with it.
    launch.endTreeWhenProgramExits = true;
    // A Deploy run's `git push` sends no commit holding .env files or .nerim/,
    // nor any value of the project's .env files or of the run's own variables
    // (its token, the values the user gave), named here for nerim-git.
    launch.refusePushingSecrets = role == AgentRole::deploy;
    if (role == AgentRole::deploy) {
        QStringList secretNames = extras.environment.keys();
        secretNames.sort();
        launch.environment.insert(QString::fromLatin1(platform::guard::secretNamesVariable),
                                  secretNames.join(QLatin1Char(',')));
    }

    // Registered before the launch, so an agent that ends at once is still
    // accounted for: its events wait in the stream until fetched.
    m_sessions.insert(id, session);
    m_streams.insert(id, StreamSlot{stream, false, false});
    session->keep(std::move(prepared.instructions));
    session->wire([self](const QUuid &endedId) {
        if (self)
            self->sessionEnded(endedId);
    });

    QFuture<bool> whenStarted = child->whenStarted();
    child->start(launch);
    // The prompt goes in on standard input, which is then closed; it is written
    // from the event loop as the child reads.
    child->write(prepared.promptBytes);
    child->closeInput();
    const bool started = co_await whenStarted;
    if (!self)
        throw AgentError::spawnFailed(QStringLiteral("the project was closed before the agent started"));
    if (!started || !guard) {
        const QString reason = guard ? child->errorString() : QStringLiteral("the agent process could not be started");
        m_sessions.remove(id);
        m_streams.remove(id);
        if (excludeNotice)
            m_excludeNoticeShown.clear(); // never reached a pane
        if (guard) {
            guard->abandon();
            guard->deleteLater();
        }
        throw AgentError::spawnFailed(reason);
    }
    const qint64 pid = child->processId();

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
    for (AgentProcessSession *session : AgentProcessSession::registry())
        session->requestStop();
}

} // namespace nerim
