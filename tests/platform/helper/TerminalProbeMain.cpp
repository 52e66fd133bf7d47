// A program that tries to type a command into a terminal, as a hostile child
// would: through /dev/tty, through its own standard streams and, with
// --reopen, through the terminals its ancestors hold open (/proc/PID/fd/N) and
// the terminal files named after the option. It prints what it got through
// ("typed into ...") and then "ready".
// Usage: platform_test_terminal_probe [--reopen [TERMINAL...]]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void typeInto(int fd, const std::string &what)
{
    static const char command[] = "echo NERIM-TYPED-THIS\n";
    for (const char *c = command; *c; ++c) {
        if (::ioctl(fd, TIOCSTI, c) != 0)
            return;
    }
    std::printf("typed into %s\n", what.c_str());
}

void openAndType(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return;
    std::printf("opened %s\n", path.c_str());
    typeInto(fd, path);
    ::close(fd);
}

pid_t parentOf(pid_t pid)
{
    FILE *stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "re");
    if (!stat)
        return 0;
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof line, stat) != nullptr;
    std::fclose(stat);
    const char *end = read ? std::strrchr(line, ')') : nullptr; // the name may hold spaces
    int parent = 0;
    return end && std::sscanf(end + 1, " %*c %d", &parent) == 1 ? parent : 0;
}

} // namespace

int main(int argc, char **argv)
{
    openAndType("/dev/tty");
    for (int fd = 0; fd <= 2; ++fd)
        typeInto(fd, "standard stream " + std::to_string(fd));
    if (argc > 1 && std::strcmp(argv[1], "--reopen") == 0) {
        for (int i = 2; i < argc; ++i)
            openAndType(argv[i]);
        for (pid_t pid = ::getppid(); pid > 1; pid = parentOf(pid)) {
            for (int fd = 0; fd <= 2; ++fd)
                openAndType("/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd));
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return 0;
}
