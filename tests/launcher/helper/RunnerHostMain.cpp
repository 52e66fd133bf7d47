// A small program that plays Nerim running a project's development server.
//
//   launcher_test_runner_host URL-FILE FOLDER
//     starts the project in FOLDER as detected, with a DevServerRunner (through
//     /bin/bash), writes the server's address to URL-FILE once it is known, and
//     quits in order on SIGTERM, SIGINT and SIGHUP as Nerim does. The test then
//     ends it one way or another.
//   launcher_test_runner_host --app FOLDER LOG-FILE
//     runs the command in NERIM_TEST_APP_COMMAND in FOLDER the same way (the
//     variable does not reach the app), appends each output line to LOG-FILE
//     as it comes, "[url] ADDRESS" once an address is found and "[ended]" when
//     the app has stopped or failed, then exits.
//   launcher_test_runner_host --connect NAME...
//     (run by the app) tries each abstract Unix socket NAME and prints
//     "reached NAME" or "refused NAME".
#include "launcher/DevServerRunner.h"
#include "launcher/ProjectTypeDetector.h"
#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QFile>
#include <QLocalSocket>
#include <cstdio>
#include <cstring>
#include <unistd.h>

using namespace nerim;

namespace {

int connectToEach(int argc, char **argv)
{
    for (int i = 2; i < argc; ++i) {
        QLocalSocket socket;
        socket.setSocketOptions(QLocalSocket::AbstractNamespaceOption);
        socket.connectToServer(QString::fromLocal8Bit(argv[i]));
        std::printf("%s %s\n", socket.waitForConnected(5000) ? "reached" : "refused", argv[i]);
    }
    return 0;
}

void append(QFile &log, const QString &line)
{
    log.write(line.toUtf8() + '\n');
    log.flush();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--connect") == 0)
        return connectToEach(argc, argv);
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    platform::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &platform::TerminationSignals::received, &app, &QCoreApplication::quit);

    DevServerRunner::Options options;
    options.shell = QStringLiteral("/bin/bash");

    if (std::strcmp(argv[1], "--app") == 0 && argc >= 4) {
        const QString folder = QString::fromLocal8Bit(argv[2]);
        QFile log(QString::fromLocal8Bit(argv[3]));
        if (!log.open(QIODevice::Append))
            return 2;
        const QString command = qEnvironmentVariable("NERIM_TEST_APP_COMMAND");
        qunsetenv("NERIM_TEST_APP_COMMAND");
        DevServerRunner runner(options);
        runner.onOutputLine = [&](const QString &line) { append(log, line); };
        runner.onURLDetected = [&](const QUrl &url) { append(log, QStringLiteral("[url] ") + url.toString()); };
        QObject::connect(&runner, &DevServerRunner::statusChanged, &app, [&] {
            const DevServerStatus &status = runner.status();
            if (status.is(DevServerStatus::Kind::stopped) || status.is(DevServerStatus::Kind::failed) ||
                status.is(DevServerStatus::Kind::crashed)) {
                append(log, QStringLiteral("[ended] ") + runner.status().displayText());
                app.quit();
            }
        });
        auto task = runner.start(LaunchPlan{folder, command, QStringLiteral("Starting your app")});
        return app.exec();
    }

    const QString urlFile = QString::fromLocal8Bit(argv[1]);
    const QString folder = QString::fromLocal8Bit(argv[2]);
    DevServerRunner runner(options);
    runner.onURLDetected = [&](const QUrl &url) {
        QFile file(urlFile);
        if (file.open(QIODevice::WriteOnly))
            file.write(url.toString().toUtf8());
    };
    QObject::connect(&runner, &DevServerRunner::statusChanged, &app, [&] {
        if (runner.status().is(DevServerStatus::Kind::failed))
            ::_exit(3);
    });
    auto task = runner.start(ProjectTypeDetector::detect(folder));
    return app.exec();
}
