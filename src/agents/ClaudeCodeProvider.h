#pragma once

#include "agents/AgentProvider.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <chrono>
#include <functional>
#include <optional>

namespace nerim {

class AgentProcessSession;

// Runs Anthropic's `claude` program as one child process per prompt, in the
// project folder, and turns its standard output and standard error into one
// ordered stream of events per session. One provider exists per open project;
// it lives on the GUI thread, which owns every child process.
//
// A child
// - receives its whole assembled prompt on standard input, which is then closed
//   (a command-line argument is size-limited and visible to every local user);
// - runs under Nerim's process guard (platform::ChildProcess), so that the
//   agent and everything it starts, tool commands in sessions of their own
//   included, end when Nerim ends in any way;
// - is stopped by `terminate`: SIGTERM to the agent and everything it started,
//   then SIGKILL for what still runs after the grace period;
// - is stopped the same way when its provider is destroyed or the application
//   quits; whatever it leaves running when it exits by itself ends too.
//
// Before every run (task, Repair and Deploy alike) GitExcludes keeps the
// project's secrets out of git. Standard error passes through as lines
// unchanged, and the exit code reported is the program's.
//
// A Deploy run (role `deploy`) adds DeployRuns::runArguments and the run's
// own variables (its held token, the values the user gave), whose names go to
// nerim-git in NERIM_GIT_SECRET_NAMES; `refusePushingSecrets` is set, so its
// `git push` sends no secret, and its prompt is the deploy briefing. It does
// not get the project's CLAUDE.md.
//
// A session's stream keeps every event, `processExited` included, until it has
// been fetched once with `outputStream`, so an agent that fails at once still
// reports its exit to whoever asks for its stream right after `spawn`.
class ClaudeCodeProvider : public QObject, public AgentProvider {
    Q_OBJECT
public:
    struct Options {
        // The managed-keys credential variables laid over the child's environment
        // ("ANTHROPIC_BASE_URL", "ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN").
        // Called once per spawn on a worker thread; unset means the default
        // installed with setDefaultManagedKeysEnvironment.
        std::function<QHash<QString, QString>()> managedKeysEnvironment;
        // Where the `claude` program is looked for, in order; unset means
        // `claudeBinaryCandidates()`. A failed search names these places.
        std::function<QStringList()> binaryCandidates;
        // Finds the `claude` program; unset means the first of the candidates
        // that may run (`resolveClaudeBinary`).
        std::function<std::optional<QString>()> resolveBinary;
        // Time a terminated agent has between SIGTERM and SIGKILL.
        std::chrono::milliseconds terminateGracePeriod{2000};
    };

    explicit ClaudeCodeProvider(QString projectPath, QObject *parent = nullptr);
    ClaudeCodeProvider(QString projectPath, Options options, QObject *parent = nullptr);
    ~ClaudeCodeProvider() override;

    QUrl projectURL() const { return QUrl::fromLocalFile(m_projectPath); }
    const QString &projectPath() const { return m_projectPath; }

    // Sessions launched and neither ended nor terminated.
    QList<QUuid> sessionIds() const { return m_sessions.keys(); }
    bool hasSession(const QUuid &id) const { return m_sessions.contains(id); }

    QCoro::Task<AgentSession> spawn(AgentRole role, QList<ContextEntry> recentEntries,
                                    QList<ConversationTurn> priorTurns, QString task, ProjectAwareness awareness,
                                    ModelChoice model, SpawnExtras extras = {}) override;
    // Always fails with `sessionNotAlive`: an agent takes no input after its prompt.
    QCoro::Task<> send(QUuid sessionId, QString text) override;
    QCoro::Task<std::shared_ptr<AgentOutputStream>> outputStream(QUuid sessionId) override;
    QCoro::Task<> terminate(QUuid sessionId) override;

    // Asks every agent the application started to stop, as `terminate` does,
    // and returns at once: the process guards finish the stopping, even after
    // Nerim has gone. (Quitting does this for every child process by itself.)
    static void terminateAllForQuit();

    // The managed-keys function every provider uses when its options set none.
    // The application installs the credentials' `managedKeysEnvironment` here at
    // start-up; until then, and in tests that don't, it returns no variables.
    using EnvironmentSource = std::function<QHash<QString, QString>()>;
    static void setDefaultManagedKeysEnvironment(EnvironmentSource source);

private:
    void sessionEnded(const QUuid &id);

    QString m_projectPath;
    Options m_options;
    // The last word shown in a pane that `.env` is not excluded from git
    // here: said once, again only when the reason changes.
    QString m_excludeNoticeShown;
    QHash<QUuid, AgentProcessSession *> m_sessions;
    // Streams not yet fetched, or fetched while their process still runs.
    struct StreamSlot {
        std::shared_ptr<AgentOutputStream> stream;
        bool fetched = false;
        bool ended = false;
    };
    QHash<QUuid, StreamSlot> m_streams;
};

// "sha256:" followed by the 64 lower-case hex digits of SHA-256 over the UTF-8 text.
QString promptDigest(const QString &text);

// The arguments of `claude`: "--print", "--permission-mode", "acceptEdits"
// ("dontAsk" for a Deploy run: the program runs only what its allowed tools
// name, no file edit and no file command around them, and asks nobody),
// "--output-format", "stream-json", "--verbose" (the program requires it for
// events with --print), "--model", the model id, then "--setting-sources",
// "user", "--strict-mcp-config": only the user's own settings apply and no MCP
// server is started, so files a project brings along (.claude/settings*.json
// with hooks, environment and permissions, .mcp.json) never change what a run
// does. The prompt travels on standard input.
//
// Checked with the installed program (2.1.197) in a folder with a planted
// hook, MCP server and `env.ANTHROPIC_BASE_URL`: without the two options the
// hooks ran (with the API key in their environment), the MCP server started
// and the request went to the planted address; with them, none of the three.
// Under "acceptEdits" the program ran `rm`, `cp`, `touch` and redirections
// chained after an allowed command, which is why a Deploy run uses "dontAsk".
//
// Those settings also keep the program from reading the project's CLAUDE.md;
// Nerim reads it (ProjectInstructions) and, given `instructionsFile` (a
// private copy of its text for the agent), adds
// "--append-system-prompt-file" and that file, whose text the program adds to
// its own system prompt. A file rather than the text itself, which every local
// user could read on the command line (and which is limited in size there).
// Checked against a loopback stand-in: the text arrives at the end of the
// request's system prompt, where the program without the options sends it in
// a <system-reminder> of the first user message.
//
// Events, not plain text, so that each message reaches the pane while the run
// still goes (plain text shows only the final message, once the program ends);
// AgentEventReader turns them back into lines.
QStringList claudeArguments(ModelChoice model, const QString &instructionsFile = QString(),
                            AgentRole role = AgentRole::unspecified);

// The project folder, which must exist: a missing one is never created (Start
// blank makes its own folder before anything runs in it). Throws
// std::runtime_error with a readable description when the path is missing or
// is not a folder.
QString checkWorkingDirectory(const QString &projectPath);

// The child's environment: the inherited one, the fixed child overlay ("PATH",
// "TERM"), then the managed-keys variables. PATH becomes the folder of the
// `claude` program, the fixed list, then the inherited PATH's entries, each once.
QHash<QString, QString> childEnvironment(const QHash<QString, QString> &inherited,
                                         const QHash<QString, QString> &managedKeys,
                                         const QString &claudeBinaryPath);

} // namespace nerim
