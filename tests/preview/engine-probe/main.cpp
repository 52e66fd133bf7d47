// Starts the preview's web engine as Nerim does: the command line the sandbox
// decision gives for the user id named by the first argument (so a test can
// inject uid 0), and the engine library loaded only once the application
// runs, as the first preview loads it. Loads the address in the second
// argument and prints "loaded <title>" once the page has its title. Exits 0
// then, 3 when nothing arrived in time, 4 when the engine library did not
// load (saying why on stderr); the web engine itself may end the process sooner.
// The probe links no web engine itself: it prints "engine linked" when the
// engine was in the process before the first page asked for it.
#include "preview/PreviewPageFactory.h"
#include "preview/PreviewSandbox.h"
#include "preview/PreviewState.h"
#include "preview/engine/PreviewEngine.h"

#include <QApplication>
#include <QFile>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const uid_t uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
    const QString address = QString::fromLocal8Bit(argv[2]);
    std::vector<QByteArray> extra;
    for (const QString &argument : nerim::PreviewSandbox::engineArguments(uid))
        extra.push_back(argument.toUtf8());
    std::vector<char *> arguments{argv[0]};
    for (QByteArray &argument : extra)
        arguments.push_back(argument.data());
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    QApplication app(count, arguments.data());

    nerim::PreviewState state;
    std::unique_ptr<QWidget> view;
    QObject::connect(&state, &nerim::PreviewState::titleChanged, &app, [&] {
        if (state.title().isEmpty())
            return;
        std::printf("loaded %s\n", state.title().toUtf8().constData());
        std::fflush(stdout);
        QApplication::exit(0);
    });
    QTimer::singleShot(0, &app, [&] {
        QFile maps(QStringLiteral("/proc/self/maps"));
        if (maps.open(QIODevice::ReadOnly) && maps.readAll().contains("WebEngineCore"))
            std::printf("engine linked\n");
        nerim::PreviewPageFactory *engine = nerim::PreviewEngine::factory();
        if (!engine) {
            std::fprintf(stderr, "%s\n", nerim::PreviewEngine::errorText().toUtf8().constData());
            QApplication::exit(4);
            return;
        }
        view.reset(engine->createPage(&state, nullptr));
        view->resize(320, 240);
        view->show();
        state.navigate(address);
    });
    QTimer::singleShot(60000, &app, [] { QApplication::exit(3); });
    const int status = QApplication::exec();
    view.reset();
    return status;
}
