// Starts the preview's web engine as Nerim does, with the command line the
// sandbox decision gives for the user id named by the first argument (so a
// test can inject uid 0), loads the address in the second argument and
// prints "loaded <title>" once the page has its title. Exits 0 then, 3 when
// nothing arrived in time; the web engine itself may end the process sooner.
#include "preview/PreviewSandbox.h"
#include "preview/web/PreviewWebView.h"

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
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
    nerim::PreviewWebView view(&state);
    view.resize(320, 240);
    view.show();
    QObject::connect(&state, &nerim::PreviewState::titleChanged, &app, [&] {
        if (state.title().isEmpty())
            return;
        std::printf("loaded %s\n", state.title().toUtf8().constData());
        std::fflush(stdout);
        QApplication::exit(0);
    });
    QTimer::singleShot(60000, &app, [] { QApplication::exit(3); });
    state.navigate(address);
    return QApplication::exec();
}
