// A small program that plays Nerim running a project's development server: it
// starts the project in FOLDER with a DevServerRunner (through /bin/bash), writes
// the server's address to URL-FILE once it is known, and quits in order on
// SIGTERM, SIGINT and SIGHUP as Nerim does. The test then ends it one way or another.
// Usage: launcher_test_runner_host URL-FILE FOLDER
#include "launcher/DevServerRunner.h"
#include "launcher/ProjectTypeDetector.h"
#include "platform/TerminationSignals.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QFile>

using namespace nerim;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    const QString urlFile = QString::fromLocal8Bit(argv[1]);
    const QString folder = QString::fromLocal8Bit(argv[2]);
    platform::TerminationSignals terminationSignals;
    QObject::connect(&terminationSignals, &platform::TerminationSignals::received, &app, &QCoreApplication::quit);

    DevServerRunner::Options options;
    options.shell = QStringLiteral("/bin/bash");
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
