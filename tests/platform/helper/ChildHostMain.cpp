// A small program that plays Nerim around one child process: it runs the given
// program through ChildProcess, quits in order on SIGTERM, SIGINT and SIGHUP as
// Nerim does, and once the program prints "ready" writes the ready file and
// ends the way it is told:
//   wait       keep running (the test sends a signal)
//   quit       quit in order, as the Quit menu item does
//   abort      crash (SIGABRT, no clean-up of its own)
//   kill-self  SIGKILL itself
// Usage: platform_test_child_host [--agent | --app FOLDER] READY-FILE HOW GRACE-MS PROGRAM [ARGUMENT...]
// With --agent the program runs as an agent does where no cgroup can be made:
// no PID namespace, no cgroup, and the host is a subreaper as Nerim then is.
// With --app it runs in FOLDER as a development server does: in a PID
// namespace where the kernel gives one, confined to writing FOLDER.
#include "platform/ChildProcess.h"
#include "platform/OrphanReaper.h"
#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QFile>
#include <csignal>
#include <cstdlib>
#include <cstring>

using nerim::platform::ChildProcess;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const bool agent = argc > 1 && std::strcmp(argv[1], "--agent") == 0;
    if (agent) {
        --argc;
        ++argv;
        nerim::platform::OrphanReaper::install();
    }
    QString appFolder;
    if (argc > 2 && std::strcmp(argv[1], "--app") == 0) {
        appFolder = QString::fromLocal8Bit(argv[2]);
        argc -= 2;
        argv += 2;
    }
    if (argc < 5)
        return 2;
    const QString readyFile = QString::fromLocal8Bit(argv[1]);
    const QByteArray how = argv[2];

    nerim::platform::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &nerim::platform::TerminationSignals::received, &app, &QCoreApplication::quit);

    ChildProcess::Options options;
    options.program = QString::fromLocal8Bit(argv[4]);
    for (int i = 5; i < argc; ++i)
        options.arguments.append(QString::fromLocal8Bit(argv[i]));
    options.gracePeriod = std::chrono::milliseconds(std::atoi(argv[3]));
    if (agent) {
        options.ownCgroup = false;
        options.pidNamespace = false;
    }
    if (!appFolder.isEmpty()) {
        options.workingDirectory = appFolder;
        options.pidNamespace = true;
        options.confined = true;
        options.writablePaths = {appFolder};
    }
    ChildProcess child;
    QObject::connect(&child, &ChildProcess::failedToStart, &app, [] { std::exit(3); });
    QObject::connect(&child, &ChildProcess::outputLine, &app, [&](const QString &line, bool) {
        if (line != QLatin1String("ready"))
            return;
        QFile file(readyFile);
        if (file.open(QIODevice::WriteOnly))
            file.write(QByteArray::number(child.processId()));
        file.close();
        if (how == "quit")
            QCoreApplication::quit();
        else if (how == "abort")
            std::abort();
        else if (how == "kill-self")
            ::raise(SIGKILL);
    });
    child.start(options);
    return app.exec();
}
