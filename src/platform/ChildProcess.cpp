#include "platform/ChildProcess.h"

#include "platform/HelperWatch.h"
#include "platform/OutputTurnBudget.h"
#include "platform/RunCgroup.h"
#include "platform/RunMarker.h"
#include "platform/guard/GuardProtocol.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaMethod>
#include <QPromise>
#include <QSet>
#include <QSocketNotifier>
#include <QThread>
#include <QThreadPool>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace nerim::platform {

struct ChildProcess::Waiters {
    std::optional<QPromise<bool>> started;
    std::optional<QPromise<void>> ended;

    void resolveStarted(bool ok)
    {
        if (!started)
            return;
        started->addResult(ok);
        started->finish();
        started.reset();
    }

    void resolveEnded()
    {
        if (!ended)
            return;
        ended->finish();
        ended.reset();
    }
};

namespace {

QSet<ChildProcess *> &liveProcesses()
{
    static QSet<ChildProcess *> processes;
    return processes;
}

// Groups left by a Nerim that was killed together with its guards are ended
// once, by the first child process this Nerim starts (off the calling thread:
// it may wait a moment for killed processes to go).
void endAbandonedGroupsOnce()
{
    static bool done = false;
    if (std::exchange(done, true))
        return;
    QThreadPool::globalInstance()->start([] { RunCgroup::endAbandoned(); });
}

// The program and its arguments, for the guard's environment (see GuardProtocol.h).
void putProgram(QProcessEnvironment &environment, const QString &program, const QStringList &arguments)
{
    const QStringList words = QStringList{program} + arguments;
    environment.insert(QString::fromLatin1(guard::programCountVariable), QString::number(words.size()));
    for (qsizetype i = 0; i < words.size(); ++i)
        environment.insert(QString::fromLatin1(guard::programWordVariable) + QString::number(i), words[i]);
}

void ensureQuitHook()
{
    static QPointer<QCoreApplication> hooked;
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || hooked == app)
        return;
    hooked = app;
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, &ChildProcess::stopAll);
}

// Writing to the standard input of a program that has ended must fail with
// EPIPE rather than end Nerim. (Qt's own QProcess does the same.) The guard
// resets the signal for the programs it starts.
void ignoreBrokenPipes()
{
    struct sigaction current;
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
        struct sigaction ignore;
        std::memset(&ignore, 0, sizeof ignore);
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, nullptr);
    }
}

// Moves a descriptor above the standard three and the guard's control slot, so
// handing them to the guard can never overwrite one with another.
int raised(int fd)
{
    if (fd < 0 || fd >= 10)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return moved;
}

// Notifiers are let go of later: this may run inside one's own signal.
void dropNotifier(QSocketNotifier *&notifier)
{
    if (!notifier)
        return;
    notifier->setEnabled(false);
    notifier->deleteLater();
    notifier = nullptr;
}

void setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void closeFd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Most bytes one read of a pipe takes, and most one notification handles, so a
// program that floods its output cannot hold the event loop, and several that
// flood at once are read alike (the pipes are always woken in the same order).
// Once the turn's share of output work is used up, a wake-up reads only once.
constexpr qsizetype readChunk = 64 * 1024;
constexpr qsizetype readBurst = 256 * 1024;
// Room in a standard-output pipe: a program that prints fast runs ahead by
// this much instead of waiting for every 64 KiB to be read, which on a busy
// machine costs a wake-up each.
constexpr int outputPipeSize = 1024 * 1024;
// What a pipe may still hold when the program has ended, read before `exited`.
constexpr qsizetype drainLimit = 4 * outputPipeSize;

} // namespace

ChildProcess::ChildProcess(QObject *parent) : QObject(parent), m_waiters(std::make_shared<Waiters>()) {}

ChildProcess::~ChildProcess()
{
    liveProcesses().remove(this);
    if (isTreeAlive()) {
        stop();
        if (m_helper)
            m_helper->orphan();
    }
    closeControl();
    closeOutput();
    closeInputNow();
    m_waiters->resolveStarted(false);
    m_waiters->resolveEnded();
}

QString ChildProcess::guardProgram()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/nerim-guard");
}

void ChildProcess::stopAll()
{
    for (ChildProcess *process : liveProcesses())
        process->stop();
}

void ChildProcess::endLeftoversOfEarlierRuns()
{
    endAbandonedGroupsOnce();
    static bool done = false;
    if (std::exchange(done, true))
        return;
    // This Nerim's own record goes first, off the GUI thread (a file under a
    // lock); the first run's `forNewRun` then finds it done.
    QThreadPool::globalInstance()->start([] {
        RunMarker::recordOwner();
        RunMarker::endAbandoned();
    });
}

void ChildProcess::start(const Options &options)
{
    if (m_state != State::notStarted)
        return;
    m_state = State::starting;
    m_program = options.program;
    m_workingDirectory = options.workingDirectory;
    liveProcesses().insert(this);
    ensureQuitHook();
    ignoreBrokenPipes();
    endAbandonedGroupsOnce();

    int control[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int in[2] = {-1, -1};
    const auto closeAll = [&] {
        for (int *pair : {control, out, err, in}) {
            closeFd(pair[0]);
            closeFd(pair[1]);
        }
    };
    bool made = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) == 0 &&
                ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0 &&
                (!options.inputPipe || ::pipe2(in, O_CLOEXEC) == 0);
    const int madeErrno = errno;
    for (int *pair : {control, out, err, in}) {
        pair[0] = raised(pair[0]);
        pair[1] = raised(pair[1]);
    }
    made = made && control[1] >= 0 && out[1] >= 0 && err[1] >= 0 && (!options.inputPipe || in[0] >= 0);
    if (!made) {
        closeAll();
        fail(QStringLiteral("Nerim could not set up the pipes for %1: %2").arg(m_program, errnoText(madeErrno)),
             madeErrno);
        return;
    }

    // The guard's command line and environment (which is the program's).
    QList<QByteArray> argumentBytes{QByteArrayLiteral("nerim-guard")};
    if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread())
        argumentBytes << QByteArrayLiteral("--parent") << QByteArray::number(::getpid());
    argumentBytes << QByteArrayLiteral("--grace-ms") << QByteArray::number(qint64(options.gracePeriod.count()));
    if (options.endTreeWhenProgramExits)
        argumentBytes << QByteArrayLiteral("--end-tree-on-exit");
    if (!options.pidNamespace)
        argumentBytes << QByteArrayLiteral("--no-pid-namespace");
    std::optional<RunCgroup> cgroup;
    if (options.ownCgroup)
        cgroup = options.preparedCgroup ? options.preparedCgroup->take() : RunCgroup::create();
    if (cgroup)
        argumentBytes << QByteArrayLiteral("--cgroup") << QFile::encodeName(cgroup->path());
    if (!options.workingDirectory.isEmpty())
        argumentBytes << QByteArrayLiteral("--cwd") << QFile::encodeName(options.workingDirectory);
    if (options.refusePushingSecrets)
        argumentBytes << QByteArrayLiteral("--refuse-pushing-secrets");
    for (const QString &path : options.hiddenPaths)
        argumentBytes << QByteArrayLiteral("--hide") << QFile::encodeName(path);
    if (options.confined)
        argumentBytes << QByteArrayLiteral("--confine");
    for (const auto &[option, paths] : {std::pair{QByteArrayLiteral("--writable"), &options.writablePaths},
                                        std::pair{QByteArrayLiteral("--read-only"), &options.readOnlyPaths},
                                        std::pair{QByteArrayLiteral("--private"), &options.privateFolders}}) {
        for (const QString &path : *paths)
            argumentBytes << option << QFile::encodeName(path);
    }
    std::vector<char *> argv;
    for (QByteArray &argument : argumentBytes)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    // The program's command line goes in the environment, which only this
    // user can read (a command may hold a key); so does the run's mark.
    QProcessEnvironment environment = options.environment;
    putProgram(environment, options.program, options.arguments);
    const QByteArray mark = RunMarker::forNewRun();
    environment.insert(QString::fromLatin1(RunMarker::variable), QString::fromLatin1(mark));
    QList<QByteArray> environmentBytes;
    for (const QString &entry : environment.toStringList())
        environmentBytes << entry.toLocal8Bit();
    std::vector<char *> envp;
    for (QByteArray &entry : environmentBytes)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (options.inputPipe)
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_adddup2(&actions, control[1], guard::controlDescriptor);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    sigdelset(&allSignals, SIGKILL);
    sigdelset(&allSignals, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &allSignals);
    // A session of its own (and so a group of its own), without a
    // controlling terminal: a Ctrl+C in Nerim's terminal reaches Nerim, which
    // then stops its children in order, and nothing the guard starts can
    // open that terminal or type into it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

    const QByteArray guardPath = QFile::encodeName(guardProgram());
    pid_t helper = 0;
    const int spawnError = ::posix_spawn(&helper, guardPath.constData(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    // The guard's ends live on in the guard alone.
    closeFd(control[1]);
    closeFd(out[1]);
    closeFd(err[1]);
    closeFd(in[0]);
    if (spawnError != 0) {
        if (cgroup)
            cgroup->remove();
        closeAll();
        fail(QStringLiteral("Nerim could not start its process guard %1: %2")
                 .arg(QString::fromLocal8Bit(guardPath), errnoText(spawnError)),
             spawnError);
        return;
    }

    m_helper = new HelperWatch(helper, this);
    m_helper->m_cgroup = std::move(cgroup);
    m_helper->m_mark = mark;
    m_helper->m_grace = options.gracePeriod;
    m_helper->onEnded = [this](int status) { helperEnded(status); };

    m_control = control[0];
    setNonBlocking(m_control);
    m_controlNotifier = new QSocketNotifier(m_control, QSocketNotifier::Read, this);
    connect(m_controlNotifier, &QSocketNotifier::activated, this, [this] { readControl(); });
    const int outputFds[2] = {out[0], err[0]};
    for (int index = 0; index < 2; ++index) {
        Output &output = m_outputs[index];
        output.fd = outputFds[index];
        setNonBlocking(output.fd);
        if (index == 0)
            (void)::fcntl(output.fd, F_SETPIPE_SZ, outputPipeSize); // where the system allows it
        output.splitter = index == 0 ? std::make_unique<OutputLineSplitter>(options.carriageReturnEndsLine,
                                                                            options.standardOutputLineLimit,
                                                                            options.standardOutputOverlong)
                                     : std::make_unique<OutputLineSplitter>(options.carriageReturnEndsLine);
        output.notifier = new QSocketNotifier(output.fd, QSocketNotifier::Read, this);
        // Output is read once the start is reported, so lines never come before it.
        output.notifier->setEnabled(false);
        connect(output.notifier, &QSocketNotifier::activated, this,
                [this, index] { readOutput(index, readBurst, true); });
    }
    if (options.inputPipe) {
        m_input = in[1];
        setNonBlocking(m_input);
        m_inputNotifier = new QSocketNotifier(m_input, QSocketNotifier::Write, this);
        m_inputNotifier->setEnabled(false);
        connect(m_inputNotifier, &QSocketNotifier::activated, this, [this] { writeInput(); });
        writeInput();
    }
}

void ChildProcess::fail(const QString &reason, int errorNumber)
{
    m_errorString = reason;
    m_startErrno = errorNumber;
    m_state = State::ended;
    liveProcesses().remove(this);
    closeControl();
    closeOutput();
    closeInputNow();
    // Reported from the event loop, as every other outcome is.
    QMetaObject::invokeMethod(
        this,
        [this, reason] {
            QPointer<ChildProcess> self(this);
            m_waiters->resolveStarted(false);
            emit failedToStart(reason);
            if (!self)
                return;
            m_waiters->resolveEnded();
            emit treeEnded();
        },
        Qt::QueuedConnection);
}

// ---- the guard's reports ----

void ChildProcess::readControl()
{
    if (m_control < 0)
        return;
    QPointer<ChildProcess> self(this);
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::recv(m_control, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got > 0) {
            m_controlBuffer.append(buffer, got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            closeControl(); // the guard is exiting; its watch reports that
        break;
    }
    qsizetype end;
    while ((end = m_controlBuffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_controlBuffer.left(end);
        m_controlBuffer.remove(0, end + 1);
        handleMessage(line);
        if (!self)
            return;
    }
}

void ChildProcess::handleMessage(const QByteArray &line)
{
    const QList<QByteArray> words = line.split(' ');
    const QByteArray &kind = words.first();
    if (kind == guard::startedMessage && words.size() == 2 && m_state == State::starting) {
        m_programPid = words.at(1).toLongLong();
        m_state = State::running;
        for (Output &output : m_outputs) {
            if (output.notifier)
                output.notifier->setEnabled(true);
        }
        m_waiters->resolveStarted(true);
        emit started();
    } else if (kind == guard::failedMessage && words.size() == 3 && m_state == State::starting) {
        const int error = words.at(2).toInt();
        const QString where = words.at(1) == "chdir" ? m_workingDirectory : m_program;
        if (m_helper)
            m_helper->orphan(); // it exits at once; it is reaped in the background
        fail(QStringLiteral("%1: %2").arg(where, errnoText(error)), error);
    } else if (kind == guard::exitedMessage && words.size() == 3 && m_state == State::running) {
        const int code = words.at(1).toInt();
        const int signal = words.at(2).toInt();
        programEnded(signal != 0 ? signal : code, signal == 0);
    } else if (kind == guard::killingMessage) {
        emit killing();
    }
}

void ChildProcess::helperEnded(int waitStatus)
{
    QPointer<ChildProcess> self(this);
    // Reports still in the socket come first.
    readControl();
    if (!self || m_state == State::ended)
        return;
    if (m_state == State::starting) {
        fail(QStringLiteral("Nerim's process guard stopped before %1 started").arg(m_program), 0);
        return;
    }
    if (m_state == State::running) {
        // The guard itself was killed: the program got the parent-death signal.
        const bool bySignal = waitStatus != -1 && WIFSIGNALED(waitStatus);
        programEnded(bySignal ? WTERMSIG(waitStatus) : SIGTERM, false);
        if (!self)
            return;
    }
    m_state = State::ended;
    liveProcesses().remove(this);
    closeControl();
    closeOutput();
    closeInputNow();
    m_waiters->resolveEnded();
    emit treeEnded();
}

void ChildProcess::programEnded(int exitCode, bool normalExit)
{
    QPointer<ChildProcess> self(this);
    // Everything the program wrote before it ended is in the pipes by now.
    for (int index = 0; index < 2; ++index) {
        readOutput(index, drainLimit, false);
        if (!self)
            return;
        if (m_outputs[index].splitter) {
            OutputLines rest;
            m_outputs[index].splitter->finish(rest);
            if (!rest.isEmpty() && !deliver(rest, index == 1))
                return;
        }
    }
    m_state = State::exited;
    closeOutput();
    closeInputNow();
    emit exited(exitCode, normalExit);
}

// ---- output and input ----

void ChildProcess::readOutput(int index, qsizetype limit, bool budgeted)
{
    if (m_outputs[index].fd < 0)
        return;
    const bool standardError = index == 1;
    if (budgeted)
        OutputTurnBudget::elapsedNs(); // the turn's clock runs from here, if not already
    bool atEnd = false;
    qsizetype taken = 0;
    do {
        Output &output = m_outputs[index];
        // Read straight into the buffer the lines will share. Once the last
        // batch is gone the buffer is ours alone again and is used once more:
        // no allocation, and memory that is still in the cache.
        QByteArray &buffer = output.readBuffer;
        if (buffer.isDetached() && buffer.capacity() >= readChunk)
            buffer.resize(readChunk);
        else
            buffer = QByteArray(readChunk, Qt::Uninitialized);
        const ssize_t got = ::read(output.fd, buffer.data(), size_t(readChunk));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            atEnd = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
            break;
        }
        taken += got;
        // A short read gets a buffer of its own size: whatever keeps its bytes
        // (an unfinished line) does not keep the whole buffer.
        QByteArray bytes;
        if (got < readChunk / 4) {
            bytes = QByteArray(buffer.constData(), got);
        } else {
            buffer.truncate(got);
            bytes = buffer;
        }
        // One batch per read: the receivers' work counts against the turn
        // before the next read is made.
        OutputLines lines;
        output.splitter->split(std::move(bytes), lines);
        if (!lines.isEmpty() && !deliver(lines, standardError))
            return;
        if (m_outputs[index].fd < 0)
            return;
    } while (taken < limit && !(budgeted && OutputTurnBudget::readingSpent()));
    if (!atEnd)
        return;
    Output &output = m_outputs[index];
    OutputLines rest;
    output.splitter->finish(rest);
    // The pipe is done with before the last lines go out: a receiver may
    // delete this object.
    dropNotifier(output.notifier);
    closeFd(output.fd);
    output.readBuffer = QByteArray();
    if (!rest.isEmpty())
        deliver(rest, standardError);
}

bool ChildProcess::deliver(const OutputLines &lines, bool standardError)
{
    QPointer<ChildProcess> self(this);
    emit outputLines(lines, standardError);
    if (!self)
        return false;
    static const QMetaMethod lineSignal = QMetaMethod::fromSignal(&ChildProcess::outputLine);
    if (!isSignalConnected(lineSignal))
        return true;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        emit outputLine(lines.text(i), standardError);
        if (!self)
            return false;
    }
    return true;
}

void ChildProcess::write(const QByteArray &bytes)
{
    if (m_input < 0 || bytes.isEmpty())
        return;
    m_pendingInput.append(bytes);
    writeInput();
}

void ChildProcess::closeInput()
{
    m_closeInputWhenWritten = true;
    writeInput();
}

void ChildProcess::writeInput()
{
    if (m_input < 0)
        return;
    while (!m_pendingInput.isEmpty()) {
        const ssize_t written = ::write(m_input, m_pendingInput.constData(), size_t(m_pendingInput.size()));
        if (written > 0) {
            m_pendingInput.remove(0, written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            m_inputNotifier->setEnabled(true);
            return;
        }
        // EPIPE: the program has stopped reading.
        m_pendingInput.clear();
        closeInputNow();
        return;
    }
    m_inputNotifier->setEnabled(false);
    if (m_closeInputWhenWritten)
        closeInputNow();
}

void ChildProcess::closeInputNow()
{
    dropNotifier(m_inputNotifier);
    closeFd(m_input);
}

void ChildProcess::closeOutput()
{
    for (Output &output : m_outputs) {
        dropNotifier(output.notifier);
        closeFd(output.fd);
        output.readBuffer = QByteArray();
    }
}

void ChildProcess::closeControl()
{
    dropNotifier(m_controlNotifier);
    closeFd(m_control);
}

// ---- stopping ----

void ChildProcess::stop()
{
    if (m_control < 0 || !isTreeAlive())
        return;
    const QByteArray command(guard::stopCommand);
    (void)::send(m_control, command.constData(), size_t(command.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
}

QFuture<bool> ChildProcess::whenStarted()
{
    if (m_programPid > 0)
        return QtFuture::makeReadyFuture(true);
    if (m_state == State::ended)
        return QtFuture::makeReadyFuture(false);
    if (!m_waiters->started) {
        m_waiters->started.emplace();
        m_waiters->started->start();
    }
    return m_waiters->started->future();
}

QFuture<void> ChildProcess::whenTreeEnded()
{
    if (!isTreeAlive())
        return QtFuture::makeReadyFuture();
    if (!m_waiters->ended) {
        m_waiters->ended.emplace();
        m_waiters->ended->start();
    }
    return m_waiters->ended->future();
}

} // namespace nerim::platform
