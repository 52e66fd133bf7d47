// Takes the "nerim:" links out of its own command line the way Nerim's main
// does, prints the links it took, one a line, then "ready", and waits until
// its standard input closes, so that a test can read /proc/<pid>/cmdline.
#include "platform/SingleInstance.h"

#include <cstdio>

int main(int argc, char **argv)
{
    const QStringList urls = nerim::platform::SingleInstance::takeUrlArguments(argc, argv);
    for (const QString &url : urls)
        std::printf("%s\n", url.toUtf8().constData());
    std::printf("ready\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
