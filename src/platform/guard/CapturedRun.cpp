#include "platform/guard/CapturedRun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nerim::platform::guard {

std::string CapturedRun::firstErrorLine() const
{
    std::string line = errorOutput.substr(0, errorOutput.find('\n'));
    if (line.size() > 200)
        line = line.substr(0, 200) + "…";
    return line;
}

CapturedRun runStreaming(const std::string &path, const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment, int timeoutMs, int inputFd,
                         const std::function<bool(std::string_view)> &consume, const char *folder)
{
    CapturedRun run;
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return run;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return run;
    }
    std::vector<char *> argv;
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &line : environment)
        envp.push_back(const_cast<char *>(line.c_str()));
    envp.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        for (int fd : {out[0], out[1], err[0], err[1]})
            close(fd);
        return run;
    }
    if (child == 0) {
        setpgid(0, 0);
        const int input = inputFd >= 0 ? inputFd : open("/dev/null", O_RDONLY);
        if (input >= 0)
            dup2(input, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        if (folder && chdir(folder) != 0)
            _exit(127);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    setpgid(child, child);
    close(out[1]);
    close(err[1]);
    run.started = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true;
    bool errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            run.timedOut = true;
            break;
        }
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        const int ready = poll(fds, 2, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                if (i == 0 && !consume(std::string_view(buffer, static_cast<size_t>(got))))
                    run.tooLarge = true;
                else if (i == 1 && run.errorOutput.size() < 1024)
                    run.errorOutput.append(buffer, std::min<size_t>(static_cast<size_t>(got), 1024));
            } else if (got == 0 || errno != EINTR) {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
        if (run.tooLarge)
            break;
    }
    close(out[0]);
    close(err[0]);
    if (run.timedOut || run.tooLarge)
        kill(-child, SIGKILL);
    while (waitpid(child, &run.status, 0) < 0 && errno == EINTR) {
    }
    if (run.timedOut || run.tooLarge)
        kill(-child, SIGKILL); // what it started in its group
    return run;
}

CapturedRun runCaptured(const std::string &path, const std::vector<std::string> &arguments,
                        const std::vector<std::string> &environment, int timeoutMs, size_t maxBytes,
                        const char *folder)
{
    std::string output;
    CapturedRun run = runStreaming(
        path, arguments, environment, timeoutMs, -1,
        [&output, maxBytes](std::string_view piece) {
            output.append(piece);
            return output.size() <= maxBytes;
        },
        folder);
    run.output = std::move(output);
    return run;
}

CapturedRun runCapturedWithInput(const std::string &path, const std::vector<std::string> &arguments,
                                 const std::vector<std::string> &environment, int timeoutMs, size_t maxBytes,
                                 const std::string &input)
{
    // The input is in a memory file, read by the program at its own pace.
    const int fd = memfd_create("nerim-git-input", MFD_CLOEXEC);
    if (fd < 0)
        return CapturedRun{};
    size_t written = 0;
    while (written < input.size()) {
        const ssize_t wrote = write(fd, input.data() + written, input.size() - written);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            close(fd);
            return CapturedRun{};
        }
        written += size_t(wrote);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return CapturedRun{};
    }
    std::string output;
    CapturedRun run =
        runStreaming(path, arguments, environment, timeoutMs, fd, [&output, maxBytes](std::string_view piece) {
            output.append(piece);
            return output.size() <= maxBytes;
        });
    close(fd);
    run.output = std::move(output);
    return run;
}

} // namespace nerim::platform::guard
