// A small program that plays Nerim dying while an agent runs: it starts the
// stand-in `claude` (which hangs) through a provider, writes the agent's process
// id to the file named by its first argument, and then kills itself with SIGKILL,
// so no clean-up code of its own runs.
#include "agents/ClaudeCodeProvider.h"
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
    qputenv("CLAUDE_STANDIN_COMMANDS", "hang");
    ClaudeCodeProvider::Options options;
    options.resolveBinary = [] { return std::optional<QString>(test::claudeStandin::path()); };
    ClaudeCodeProvider provider(project, options);
    auto run = [&]() -> QCoro::Task<> {
        try {
            const AgentSession session = co_await provider.spawn(AgentRole::code, {}, {}, QStringLiteral("wait"),
                                                                 ProjectAwareness{}, ModelChoice::sonnet45);
            QFile file(pidFile);
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray::number(session.processID));
            file.close();
        } catch (...) {
            ::_exit(3);
        }
        ::kill(::getpid(), SIGKILL);
    };
    auto task = run();
    return app.exec();
}
