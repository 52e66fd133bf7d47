#pragma once

#include "platform/OutputLineSplitter.h"
#include "platform/PreparedCgroup.h"
#include "platform/RunCgroup.h"

#include <QByteArray>
#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>
#include <optional>

class QSocketNotifier;

namespace nerim::platform {

class HelperWatch;

// The one way Nerim runs a program: an agent, a development server, a tool.
//
// The program runs under Nerim's process guard (`nerim-guard`, built beside
// the `nerim` executable), a small process of ours that is a child subreaper:
// everything the program starts stays below the guard, even what detaches into
// a session of its own. Asked to (`Options::pidNamespace`) and where the kernel
// allows it, the program also runs in a PID namespace whose init dies with the
// guard, so that even a guard killed with SIGKILL takes the whole tree with it.
// Where Nerim may make cgroups the tree also runs in a cgroup of its own
// (`Options::ownCgroup`, see RunCgroup), which Nerim empties with one kill when
// it sees the guard go without having ended the tree. The guard ends that whole tree
// (SIGTERM, then SIGKILL after the grace period)
//   - when `stop()` is called, or this object is deleted while the tree lives;
//   - when Nerim ends in any way: quitting, a signal, a crash or SIGKILL (the
//     guard's control socket reaches its end);
//   - when the program ends, if `endTreeWhenProgramExits` is set;
// and exits once no process of the tree is left. Nerim itself never signals a
// process id: it only talks to the guard over a socket whose other end it
// alone holds, so no recycled id can ever be hit.
//
// Output arrives as lines (see OutputLineSplitter) from the event loop, in
// batches: each wake-up of a pipe reads a bounded amount, and less once the
// turn's share of output work is used up (see OutputTurnBudget), so a program
// that floods its output cannot hold the event loop. A wake-up reads 64 KiB
// at a time, at most 256 KiB, and only once after the turn's reading share
// is used; every pipe is woken in the same order, so the cap keeps several
// floods even. Each read goes out as one batch of undecoded lines
// (`outputLines`, sharing the bytes it was read into). The standard-output
// pipe is enlarged to 1 MiB where the system allows it, so a program runs
// ahead instead of waiting on every 64 KiB. Nothing here blocks the calling
// thread. Use it on the application's main thread, the thread whose lifetime
// the guard's parent-death signal follows.
//
// Nerim launches the guard with posix_spawn in a session of its own
// (POSIX_SPAWN_SETSID), and the guard starts the program in another, which is
// also its process group: nothing in the tree has a controlling terminal, so
// none can type into Nerim's. The program and its arguments reach the guard
// in its environment (see guard/GuardProtocol.h), never on its command line,
// which stays readable by every user in /proc as long as the tree lives; the
// guard's options (grace period, folder, cgroup, paths to hide) hold nothing
// secret. The guard ends the tree with SIGTERM and SIGCONT to every process
// and SIGKILL after the grace period; it also does so on SIGTERM, SIGINT and
// SIGHUP and on its parent-death signal. Output comes back on two pipes read
// through socket notifiers; standard input is a pipe or /dev/null. Nerim
// reaps the guard through a pidfd (HelperWatch).
//
// Agents and tools run without a PID namespace: they must see and signal the
// system's processes (the Repair agent frees ports held by processes outside
// its tree) and sudo must work for them. Development servers ask for one. The
// network namespace is never changed, so a server in the namespace listens on
// the host's 127.0.0.1, where the preview looks. Where neither holds the
// tree (no namespace asked for or allowed, no writable cgroup), run marks
// (RunMarker) take the cgroup's place.
//
// Short helper runs that are awaited to their end with a time limit (the
// exclude-file query, the deploy tool install) go through runToEnd
// (ChildRun.h).
//
// Signals are emitted in this order: `started` or `failedToStart`; output lines;
// `exited` (after every line the program wrote before it ended); `treeEnded`.
// A slot may delete this object with deleteLater().
class ChildProcess : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString program;
        QStringList arguments;
        // Empty: Nerim's own working folder.
        QString workingDirectory;
        // The program's whole environment.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // Standard input is a pipe fed by write(); otherwise it reads /dev/null.
        bool inputPipe = false;
        // Whether a lone CR ends an output line (LF always does).
        bool carriageReturnEndsLine = true;
        // Longest standard-output line in bytes, and what becomes of a longer
        // one: cut into pieces, or left out whole (reported by its size).
        // Standard error is always cut at the default limit.
        qsizetype standardOutputLineLimit = OutputLineSplitter::maxLineBytes;
        OutputLineSplitter::Overlong standardOutputOverlong = OutputLineSplitter::Overlong::cut;
        // Time the tree has between SIGTERM and SIGKILL when it is stopped.
        std::chrono::milliseconds gracePeriod{2000};
        // Ends what the program left running as soon as the program ends.
        // Otherwise leftovers run on (and `treeEnded` waits for them) until
        // `stop()`, the deletion of this object, or Nerim's end.
        bool endTreeWhenProgramExits = false;
        // Runs the tree in a PID namespace of its own when the kernel allows
        // it, so that it ends with the guard even when the guard is killed
        // with SIGKILL. Off, only the guard's subreaper keeps the tree
        // together, which a guard killed outright cannot uphold. In the
        // namespace the program sees ids of its own (getpid() differs from
        // processId()) and cannot signal processes outside it.
        bool pidNamespace = false;
        // Puts the tree into a cgroup of its own where Nerim may make one
        // (root, a delegated desktop session): should the guard be killed
        // outright, Nerim then kills what is left in the group. Unlike the
        // namespace, the program keeps the system's view of processes.
        // Without a group, what the killed guard left is found by its run
        // mark (see RunMarker) and ended the same way.
        bool ownCgroup = true;
        // With `ownCgroup`: the group made ahead for this run, taken instead
        // of making one on the calling thread (none in it: the run has none).
        std::shared_ptr<PreparedCgroup> preparedCgroup;
        // `git push` in the tree refuses to send a commit that adds or
        // changes a `.env`/`.env.*` file (but for the examples) or anything
        // in a `.nerim` folder (Deploy runs).
        bool refusePushingSecrets = false;
        // Paths the tree must not read (Nerim's data folder, the agent's own
        // settings, with copies named after them such as `.claude.json.backup`):
        // in the PID namespace's own mount namespace the folder holding each is
        // rebuilt without it, so that replacing the file or folder outside
        // shows nothing. Only with `pidNamespace`, where the kernel gives one.
        QStringList hiddenPaths;
        // Confined, the tree may write only `writablePaths` (but what of
        // `readOnlyPaths` lies in them), a copy of its own of each of
        // `privateFolders` (lasting while the tree runs), and private /tmp,
        // /var/tmp and /dev/shm; everything else is read-only to it (in the
        // mount namespace, as `hiddenPaths`), and where the kernel has Landlock
        // scopes it reaches no abstract socket and signals no process outside
        // the tree (see guard/AppConfinement.h). It runs without capabilities.
        bool confined = false;
        QStringList writablePaths;
        QStringList readOnlyPaths;
        QStringList privateFolders;
    };

    enum class State {
        notStarted,
        starting,  // the guard runs; the program is being started
        running,   // the program runs
        exited,    // the program ended; processes it started may still run
        ended,     // no process of the tree is left (or the start failed)
    };

    explicit ChildProcess(QObject *parent = nullptr);
    // Never blocks: a tree that still lives is told to stop, and the guard is
    // reaped once it has finished that.
    ~ChildProcess() override;

    // Launches the guard, which starts the program. Call once.
    void start(const Options &options);

    State state() const { return m_state; }
    // The program has started and not yet ended.
    bool isRunning() const { return m_state == State::running; }
    // Some process of the tree may still run (the guard has not ended).
    bool isTreeAlive() const { return m_state != State::notStarted && m_state != State::ended; }

    // The program's process id (as Nerim sees it, whatever namespace the
    // program runs in), 0 before it started; the program leads a session,
    // and so a process group, of its own with that id, without a
    // controlling terminal.
    qint64 processId() const { return m_programPid; }

    // Why the start failed, and the errno behind it (0 when none applies).
    const QString &errorString() const { return m_errorString; }
    int startErrorNumber() const { return m_startErrno; }

    // Queues bytes for the program's standard input (Options::inputPipe); they
    // are written as the program reads. A program that ends early drops the rest.
    void write(const QByteArray &bytes);
    // Closes standard input once everything queued has been written.
    void closeInput();

    // Asks the guard to end the whole tree. Safe at any time, more than once.
    void stop();

    // Resolve with the start's outcome (true: started) and when no process of
    // the tree is left; both also resolve when this object is deleted first.
    QFuture<bool> whenStarted();
    QFuture<void> whenTreeEnded();

    // Asks every tree that lives to end; returns at once. Runs by itself when
    // the application object is about to quit: the guards finish the stopping
    // after Nerim has gone.
    static void stopAll();

    // Ends, once and on a worker thread, what an earlier Nerim killed together
    // with its guards left running: the cgroups it noted, and the processes
    // that carry its run marks (see RunMarker). Also done, for the cgroups,
    // by the first child process started.
    static void endLeftoversOfEarlierRuns();

    // The guard program: `nerim-guard` beside the running executable, and
    // nowhere else (a copied `nerim` never runs what lies at a fixed path).
    static QString guardProgram();

signals:
    void started();
    void failedToStart(const QString &reason);
    // The lines one read completed, undecoded. The batch shares the bytes it
    // was read into; a receiver that keeps lines copies or decodes them.
    void outputLines(const nerim::platform::OutputLines &lines, bool standardError);
    // The same lines one at a time, decoded (a cut piece ends with the cut
    // marker); decoded only while something listens.
    void outputLine(const QString &line, bool standardError);
    // `exitCode` is the program's exit code, or the number of the signal that
    // ended it (then `normalExit` is false).
    void exited(int exitCode, bool normalExit);
    // The grace period passed and the tree is being killed.
    void killing();
    void treeEnded();

private:
    void fail(const QString &reason, int errorNumber);
    void readControl();
    void handleMessage(const QByteArray &line);
    // Reads up to `limit` bytes, fewer when the turn's share of output work
    // is used up and `budgeted` (at least one read is made either way).
    void readOutput(int index, qsizetype limit, bool budgeted);
    // Hands out the lines; false when a receiver deleted this object.
    bool deliver(const OutputLines &lines, bool standardError);
    void writeInput();
    void closeInputNow();
    void programEnded(int exitCode, bool normalExit);
    void helperEnded(int waitStatus);
    void closeOutput();
    void closeControl();

    struct Output {
        int fd = -1;
        QSocketNotifier *notifier = nullptr;
        std::unique_ptr<OutputLineSplitter> splitter;
        // What reads go into; shared with the lines of the last read while
        // they are out.
        QByteArray readBuffer;
    };

    State m_state = State::notStarted;
    qint64 m_programPid = 0;
    QString m_program;
    QString m_workingDirectory;
    QString m_errorString;
    int m_startErrno = 0;

    int m_control = -1;
    QSocketNotifier *m_controlNotifier = nullptr;
    QByteArray m_controlBuffer;
    Output m_outputs[2];
    int m_input = -1;
    QSocketNotifier *m_inputNotifier = nullptr;
    QByteArray m_pendingInput;
    bool m_closeInputWhenWritten = false;
    QPointer<HelperWatch> m_helper;

    struct Waiters;
    std::shared_ptr<Waiters> m_waiters;
};

} // namespace nerim::platform
