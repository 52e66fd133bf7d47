// A small program that plays Nerim while an agent runs: it starts the stand-in
// `claude` (by default one that hangs) through a provider, writes the agent's
// process id to the file named by its first argument once the agent has
// printed something, and then ends as its third argument says:
//   kill-self (the default)  SIGKILL itself, so no clean-up code of its own runs
//   wait                     keep running, quitting in order on SIGTERM, SIGINT
//                            and SIGHUP as Nerim does
// Usage: agents_test_parent PID-FILE PROJECT [HOW]
#include "agents/ClaudeCodeProvider.h"
#include "platform/TerminationSignals.h"
#include "support/claude-standin/ClaudeStandin.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QFile>
#include <csignal>

using namespace nerim;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString pidFile = QString::fromLocal8Bit(argv[1]);
    const QString project = QString::fromLocal8Bit(argv[2]);
    const bool killSelf = argc < 4 || QByteArray(argv[3]) == "kill-self";
    if (qEnvironmentVariableIsEmpty("CLAUDE_STANDIN_COMMANDS"))
        qputenv("CLAUDE_STANDIN_COMMANDS", "hang");
    platform::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &platform::TerminationSignals::received, &app, &QCoreApplication::quit);

    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(test::claudeStandin::path()); };
    ClaudeCodeProvider provider(project, options);
    auto run = [&]() -> QCoro::Task<> {
        try {
            const AgentSession session = co_await provider.spawn(AgentRole::code, {}, {}, QStringLiteral("wait"),
                                                                 ProjectAwareness{}, ModelChoice::sonnet45);
            // The agent is under way once it has said something (or ended).
            const auto stream = co_await provider.outputStream(session.id);
            const auto firstEvents = co_await stream->next();
            QFile file(pidFile);
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray::number(session.processID));
            file.close();
        } catch (...) {
            ::_exit(3);
        }
        if (killSelf)
            ::kill(::getpid(), SIGKILL);
    };
    auto task = run();
    return app.exec();
}
