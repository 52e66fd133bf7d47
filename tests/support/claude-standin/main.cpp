// A stand-in for the `claude` command-line program, for tests and benchmarks.
// It never talks to a network. It records how it was started and then plays a
// small script of output lines, pauses and an ending.
//
// Knobs (environment variables, all optional):
//   CLAUDE_STANDIN_RECORD_ARGS   file to receive the arguments (argv[1..]), each
//                                followed by a NUL byte
//   CLAUDE_STANDIN_RECORD_ENV    file to receive the environment, "KEY=VALUE"
//                                entries each followed by a NUL byte
//   CLAUDE_STANDIN_RECORD_STDIN  file to receive everything read from standard input
//   CLAUDE_STANDIN_RECORD_CWD    file to receive the working directory
//   CLAUDE_STANDIN_RECORD_PID    file to receive the process id (decimal), and
//                                the process group id after a space
//   CLAUDE_STANDIN_READ_STDIN    "0": do not read standard input; otherwise it is
//                                read to its end before the script runs (as
//                                `claude --print` reads its prompt)
//   CLAUDE_STANDIN_SCRIPT        file holding the script (below)
//   CLAUDE_STANDIN_COMMANDS      the script itself, when no script file is given
//   CLAUDE_STANDIN_SCRIPT_DIR    a folder of scripts, one per run: the Nth run
//                                plays "run-N" (the file "runs" there counts them);
//                                wins over the two above
//   CLAUDE_STANDIN_EXIT          exit code when the script does not end otherwise (0)
// Recording files are appended to when CLAUDE_STANDIN_APPEND is "1" (several runs
// in one test), and otherwise replaced.
//
// Script: one command per line; empty lines and lines starting with "#" are
// skipped. In TEXT, \n \r \t \\ \e and \xHH are escapes.
//   out TEXT            TEXT and a line feed on standard output
//   err TEXT            TEXT and a line feed on standard error
//   outraw TEXT         TEXT alone on standard output (no line feed)
//   errraw TEXT         TEXT alone on standard error
//   repeat N TEXT       N lines of TEXT on standard output; "{n}" in TEXT becomes
//                       the line's number from 1 (fast: for benchmarks)
//   echo-stdin          what was read from standard input, on standard output
//   sleep MS            pause (output so far is flushed first)
//   ignore-term         ignore SIGTERM from now on
//   spawn-sleeper SECONDS FILE
//                       start a grandchild that keeps both output pipes open,
//                       sleeps SECONDS and writes its pid to FILE first
//   spawn-session SECONDS FILE
//                       start a grandchild in a session of its own (setsid, as
//                       the installed `claude` runs its tool commands) with its
//                       output on /dev/null, that ignores SIGHUP, writes its pid
//                       to FILE and sleeps SECONDS
//   hang                wait until killed
//   signal N            die of signal N
//   exit N              exit with code N
//   run COMMAND         COMMAND run by /bin/sh in the stand-in's environment,
//                       its output on the stand-in's own
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

void writeFile(const std::string &path, const std::string &data)
{
    if (path.empty())
        return;
    const bool append = env("CLAUDE_STANDIN_APPEND") == "1";
    std::ofstream file(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string unescape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        switch (c) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'e': out += '\x1b'; break;
        case '\\': out += '\\'; break;
        case 'x':
            if (i + 2 < text.size()) {
                const std::string hex = text.substr(i + 1, 2);
                out += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
                i += 2;
            }
            break;
        default: out += '\\'; out += c;
        }
    }
    return out;
}

void sleepMs(long ms)
{
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void flushAll()
{
    std::fflush(stdout);
    std::fflush(stderr);
}

void put(FILE *stream, const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
}

// "verb rest-of-line"
void split(const std::string &line, std::string &verb, std::string &rest)
{
    const size_t space = line.find(' ');
    verb = line.substr(0, space);
    rest = space == std::string::npos ? std::string() : line.substr(space + 1);
}

} // namespace

int main(int argc, char **argv)
{
    static char outBuffer[1 << 16];
    std::setvbuf(stdout, outBuffer, _IOFBF, sizeof outBuffer);

    std::string args;
    for (int i = 1; i < argc; ++i) {
        args += argv[i];
        args += '\0';
    }
    writeFile(env("CLAUDE_STANDIN_RECORD_ARGS"), args);

    std::string environment;
    for (char **entry = environ; *entry; ++entry) {
        environment += *entry;
        environment += '\0';
    }
    writeFile(env("CLAUDE_STANDIN_RECORD_ENV"), environment);

    char cwd[4096];
    if (getcwd(cwd, sizeof cwd))
        writeFile(env("CLAUDE_STANDIN_RECORD_CWD"), cwd);
    writeFile(env("CLAUDE_STANDIN_RECORD_PID"),
              std::to_string(getpid()) + " " + std::to_string(getpgid(0)));

    std::string input;
    if (env("CLAUDE_STANDIN_READ_STDIN") != "0") {
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n > 0) {
                input.append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        writeFile(env("CLAUDE_STANDIN_RECORD_STDIN"), input);
    }

    std::string script;
    if (const std::string dir = env("CLAUDE_STANDIN_SCRIPT_DIR"); !dir.empty()) {
        long runs = 0;
        {
            std::ifstream counter(dir + "/runs");
            counter >> runs;
        }
        ++runs;
        {
            std::ofstream counter(dir + "/runs", std::ios::trunc);
            counter << runs;
        }
        std::ifstream in(dir + "/run-" + std::to_string(runs), std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        script = content.str();
    } else if (const std::string file = env("CLAUDE_STANDIN_SCRIPT"); !file.empty()) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream content;
        content << in.rdbuf();
        script = content.str();
    } else {
        script = env("CLAUDE_STANDIN_COMMANDS");
    }

    std::istringstream lines(script);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::string verb, rest;
        split(line, verb, rest);
        if (verb == "out") {
            put(stdout, unescape(rest) + "\n");
        } else if (verb == "err") {
            std::fflush(stdout);
            put(stderr, unescape(rest) + "\n");
        } else if (verb == "outraw") {
            put(stdout, unescape(rest));
        } else if (verb == "errraw") {
            std::fflush(stdout);
            put(stderr, unescape(rest));
        } else if (verb == "repeat") {
            std::string countText, text;
            split(rest, countText, text);
            const long count = std::strtol(countText.c_str(), nullptr, 10);
            const std::string pattern = unescape(text);
            const size_t marker = pattern.find("{n}");
            for (long n = 1; n <= count; ++n) {
                if (marker == std::string::npos) {
                    put(stdout, pattern);
                } else {
                    put(stdout, pattern.substr(0, marker));
                    put(stdout, std::to_string(n));
                    put(stdout, pattern.substr(marker + 3));
                }
                std::fputc('\n', stdout);
            }
        } else if (verb == "echo-stdin") {
            put(stdout, input);
        } else if (verb == "sleep") {
            flushAll();
            sleepMs(std::strtol(rest.c_str(), nullptr, 10));
        } else if (verb == "ignore-term") {
            std::signal(SIGTERM, SIG_IGN);
        } else if (verb == "spawn-sleeper") {
            std::string seconds, file;
            split(rest, seconds, file);
            flushAll();
            const pid_t child = fork();
            if (child == 0) {
                writeFile(file, std::to_string(getpid()));
                sleepMs(std::strtol(seconds.c_str(), nullptr, 10) * 1000);
                _exit(0);
            }
        } else if (verb == "spawn-session") {
            std::string seconds, file;
            split(rest, seconds, file);
            flushAll();
            const pid_t child = fork();
            if (child == 0) {
                setsid();
                std::signal(SIGHUP, SIG_IGN);
                const int null = open("/dev/null", O_RDWR);
                for (int fd = 0; fd <= 2; ++fd)
                    dup2(null, fd);
                writeFile(file, std::to_string(getpid()));
                sleepMs(std::strtol(seconds.c_str(), nullptr, 10) * 1000);
                _exit(0);
            }
        } else if (verb == "run") {
            flushAll();
            const int status = std::system(rest.c_str());
            (void)status;
        } else if (verb == "hang") {
            flushAll();
            for (;;)
                pause();
        } else if (verb == "signal") {
            flushAll();
            const int number = static_cast<int>(std::strtol(rest.c_str(), nullptr, 10));
            std::signal(number, SIG_DFL);
            raise(number);
            sleepMs(1000);
            return 128 + number;
        } else if (verb == "exit") {
            flushAll();
            return static_cast<int>(std::strtol(rest.c_str(), nullptr, 10));
        } else {
            flushAll();
            std::fprintf(stderr, "claude stand-in: unknown command: %s\n", line.c_str());
            return 90;
        }
    }
    flushAll();
    return static_cast<int>(std::strtol(env("CLAUDE_STANDIN_EXIT").c_str(), nullptr, 10));
}
