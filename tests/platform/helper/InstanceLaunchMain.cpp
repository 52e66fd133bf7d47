// Nerim's instance channel as Nerim's own launches use it, for the tests of
// hand-overs between two processes of one program:
//   hold NAME                   becomes the running instance; prints
//                               "holding", then each link it is handed, one
//                               a line, as it arrives
//   send NAME ANSWER-MS URL...  a later launch: hands the links over and
//                               exits 0 once they were taken, 1 when they
//                               were refused or no answer came within
//                               ANSWER-MS, 3 when it became the instance
#include "platform/SingleInstance.h"

#include <QCoreApplication>
#include <cstdio>
#include <cstring>

using nerim::platform::SingleInstance;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return 2;
    SingleInstance instance(QString::fromLocal8Bit(argv[2]));
    if (std::strcmp(argv[1], "hold") == 0) {
        if (!instance.claimOrForward({}) || !instance.isPrimary())
            return 3;
        QObject::connect(&instance, &SingleInstance::urlsReceived, [](const QStringList &urls) {
            for (const QString &url : urls)
                std::printf("%s\n", url.toUtf8().constData());
            std::fflush(stdout);
        });
        instance.startDelivering();
        std::printf("holding\n");
        std::fflush(stdout);
        return QCoreApplication::exec();
    }
    if (std::strcmp(argv[1], "send") != 0 || argc < 4)
        return 2;
    QStringList urls;
    for (int i = 4; i < argc; ++i)
        urls.append(QString::fromLocal8Bit(argv[i]));
    if (instance.claimOrForward(urls, 2000, QString::fromLocal8Bit(argv[3]).toInt()))
        return 3;
    return instance.linksTaken() ? 0 : 1;
}
