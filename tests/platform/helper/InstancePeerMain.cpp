// A program that is not Nerim on Nerim's instance channel (an abstract Unix
// socket), as a hostile local program would use it:
//   listen NAME FILE   takes the name first, accepts every connection and
//                      appends what each sends to FILE; prints "listening"
//   send NAME TEXT     sends TEXT to whoever holds the name, waits until the
//                      connection is closed; exits 0 once sent
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

socklen_t addressOf(const char *name, sockaddr_un &address)
{
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const size_t length = std::strlen(name);
    if (length + 1 > sizeof address.sun_path)
        return 0;
    std::memcpy(address.sun_path + 1, name, length);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const std::string how = argv[1];
    sockaddr_un address;
    const socklen_t size = addressOf(argv[2], address);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (size == 0 || fd < 0)
        return 2;
    if (how == "send") {
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), size) != 0)
            return 1;
        const size_t length = std::strlen(argv[3]);
        if (send(fd, argv[3], length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
            return 1;
        // Waits, as a launch of Nerim does, for whatever answer comes.
        shutdown(fd, SHUT_WR);
        char answer[64];
        while (read(fd, answer, sizeof answer) > 0) {
        }
        close(fd);
        return 0;
    }
    if (how != "listen" || bind(fd, reinterpret_cast<sockaddr *>(&address), size) != 0 || listen(fd, 16) != 0)
        return 1;
    std::printf("listening\n");
    std::fflush(stdout);
    for (;;) {
        const int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        FILE *out = std::fopen(argv[3], "ae");
        char buffer[4096];
        ssize_t got;
        while ((got = read(connection, buffer, sizeof buffer)) > 0)
            if (out)
                std::fwrite(buffer, 1, static_cast<size_t>(got), out);
        if (out) {
            std::fputs("<closed>\n", out);
            std::fclose(out);
        }
        close(connection);
    }
}
