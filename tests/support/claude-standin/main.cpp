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
//   CLAUDE_STANDIN_PLAIN         "1": plain text even when events are asked for
//                                (for benchmarks that compare the two)
// Recording files are appended to when CLAUDE_STANDIN_APPEND is "1" (several runs
// in one test), and otherwise replaced.
//
// Started with "--output-format stream-json" it speaks in events, as the real
// program does: an opening "system" event, then what the script prints on
// standard output gathered into "assistant" messages (one per stretch of output
// between pauses and other flushing commands; standard error stays apart from
// messages, as with the real program; `repeat` gives each line a message of its
// own), and at the end a "result" event that repeats the last message. `run`
// output and `event` lines go out unwrapped.
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
//   event JSON          JSON and a line feed on standard output, as it is (an
//                       event of the test's own making, e.g. a failed result)
//   api-retry ATTEMPT STATUS
//                       in events, the notice the program prints before it
//                       retries a failed request, shaped as the installed
//                       program writes it: attempt ATTEMPT of 10, with HTTP
//                       status STATUS ("null" when the service is not
//                       reachable); nothing in plain text
//   hold FILE           waits until FILE exists (output so far is flushed
//                       first), so a test can see an earlier message arrive
//                       while the run still goes
//   write-file BYTES PATH
//                       writes BYTES bytes of source-like text to PATH (whose
//                       lines hold quotes, backslashes, tabs and marker-like
//                       words) the way the program's Write tool does: in events,
//                       one tool call carrying the whole content and one tool
//                       result carrying it again (shaped as the installed
//                       program, 2.1.197, writes them); nothing in plain text
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

void put(FILE *stream, const std::string &text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
}

// Event mode: standard-output text waits here until it goes out as a message.
bool streamJson = false;
std::string pendingText;
std::string lastMessage;

// Appends `text` as a JSON string; runs of ordinary bytes go in whole (the
// benchmarks have the stand-in write millions of events).
void appendJsonString(std::string &out, const std::string &text)
{
    out += '"';
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue; // other bytes as they are, invalid UTF-8 included
        out.append(text, run, i - run);
        run = i + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        }
    }
    out.append(text, run, std::string::npos);
    out += '"';
}

std::string jsonString(const std::string &text)
{
    std::string out;
    out.reserve(text.size() + 16);
    appendJsonString(out, text);
    return out;
}

// The usage block and the identifiers the installed program puts on a message.
const char *const messageTail =
    R"(],"stop_reason":null,"stop_sequence":null,"usage":{"input_tokens":5,"output_tokens":1,)"
    R"("cache_creation_input_tokens":0,"cache_read_input_tokens":0,"service_tier":"standard"},)"
    R"("context_management":null},"parent_tool_use_id":null,)"
    R"("session_id":"8d756680-cdb6-4ef9-b61f-2b84c3737e09","uuid":"fe21d276-b9ec-4d00-8c1e-2b84c3737e09"})";

void emitMessage(const std::string &text)
{
    // The fields around the text are those the installed program writes, so
    // that reading an event costs what it costs with the real one.
    static std::string event;
    event.clear();
    event += R"({"type":"assistant","message":{"id":"msg_01standin","type":"message","role":"assistant",)"
             R"("model":"claude-standin","content":[{"type":"text","text":)";
    appendJsonString(event, text);
    event += "}";
    event += messageTail;
    event += '\n';
    put(stdout, event);
    lastMessage = text;
}

// `size` bytes of text shaped like source code, with words that would be
// markers if they ever reached a pane as lines of their own.
std::string fileContent(size_t size)
{
    std::string content;
    content.reserve(size + 128);
    for (long n = 1; content.size() < size; ++n) {
        content += "const line" + std::to_string(n) +
                   " = \"quoted\\path\";\t// TASK_COMPLETE: not the agent's own\n"
                   "[NERIM_DEPLOY_LIVE] https://example.com/" + std::to_string(n) + "\n";
    }
    content.resize(size);
    return content;
}

void writeFileTool(size_t size, const std::string &path)
{
    const std::string content = fileContent(size);
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    if (!streamJson)
        return;
    const std::string id = "toolu_01standinwrite";
    put(stdout, R"({"type":"assistant","message":{"id":"msg_01standin","type":"message","role":"assistant",)"
                R"("model":"claude-standin","content":[{"type":"tool_use","id":")" + id +
                    R"(","name":"Write","input":{"file_path":)" + jsonString(path) + R"(,"content":)" +
                    jsonString(content) + "}}" + messageTail + "\n");
    put(stdout, R"({"type":"user","message":{"role":"user","content":[{"tool_use_id":")" + id +
                    R"(","type":"tool_result","content":)" +
                    jsonString("File created successfully at: " + path +
                               " (file state is current in your context \u2014 no need to Read it back)") +
                    R"(}]},"parent_tool_use_id":null,"session_id":"8d756680-cdb6-4ef9-b61f-2b84c3737e09",)"
                    R"("uuid":"0b6c4e8f-3f7e-4c55-9d0e-6a1e2f3c4d5e","timestamp":"2026-01-01T00:00:00.000Z",)"
                    R"("tool_use_result":{"type":"create","filePath":)" +
                    jsonString(path) + R"(,"content":)" + jsonString(content) +
                    R"(,"structuredPatch":[],"originalFile":null,"userModified":false}})" + "\n");
}

void flushMessage()
{
    if (!streamJson || pendingText.empty())
        return;
    emitMessage(pendingText);
    pendingText.clear();
}

// Standard output, as plain text or as part of the next message.
void putOut(const std::string &text)
{
    if (streamJson)
        pendingText += text;
    else
        put(stdout, text);
}

void flushAll()
{
    flushMessage();
    std::fflush(stdout);
    std::fflush(stderr);
}

void finishRun(int exitCode)
{
    flushMessage();
    if (streamJson) {
        put(stdout, R"({"type":"result","subtype":"success","is_error":false,"result":)" + jsonString(lastMessage) +
                        R"(,"num_turns":1,"session_id":"standin","exit_code":)" + std::to_string(exitCode) + "}\n");
    }
    std::fflush(stdout);
    std::fflush(stderr);
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
        if (i + 1 < argc && std::strcmp(argv[i], "--output-format") == 0 && std::strcmp(argv[i + 1], "stream-json") == 0)
            streamJson = env("CLAUDE_STANDIN_PLAIN") != "1";
    }
    writeFile(env("CLAUDE_STANDIN_RECORD_ARGS"), args);

    std::string environment;
    for (char **entry = environ; *entry; ++entry) {
        environment += *entry;
        environment += '\0';
    }
    writeFile(env("CLAUDE_STANDIN_RECORD_ENV"), environment);

    char cwd[4096] = {};
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

    if (streamJson)
        put(stdout, R"({"type":"system","subtype":"init","cwd":)" + jsonString(cwd) +
                        R"(,"session_id":"standin","tools":["Bash","Edit","Read","Write"],"model":"claude-standin"})" +
                        "\n");

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
            putOut(unescape(rest) + "\n");
        } else if (verb == "err") {
            std::fflush(stdout);
            put(stderr, unescape(rest) + "\n");
        } else if (verb == "outraw") {
            putOut(unescape(rest));
        } else if (verb == "errraw") {
            std::fflush(stdout);
            put(stderr, unescape(rest));
        } else if (verb == "repeat") {
            std::string countText, text;
            split(rest, countText, text);
            const long count = std::strtol(countText.c_str(), nullptr, 10);
            const std::string pattern = unescape(text);
            const size_t marker = pattern.find("{n}");
            flushMessage();
            for (long n = 1; n <= count; ++n) {
                const std::string text = marker == std::string::npos
                                             ? pattern
                                             : pattern.substr(0, marker) + std::to_string(n) + pattern.substr(marker + 3);
                if (streamJson) {
                    emitMessage(text);
                } else {
                    put(stdout, text);
                    std::fputc('\n', stdout);
                }
            }
        } else if (verb == "write-file") {
            std::string bytes, path;
            split(rest, bytes, path);
            flushMessage();
            writeFileTool(static_cast<size_t>(std::strtoll(bytes.c_str(), nullptr, 10)), path);
        } else if (verb == "echo-stdin") {
            putOut(input);
        } else if (verb == "event") {
            flushMessage();
            put(stdout, rest + "\n");
        } else if (verb == "api-retry") {
            std::istringstream words(rest);
            std::string attempt, status;
            words >> attempt >> status;
            const bool unreachable = status.empty() || status == "null";
            flushMessage();
            if (streamJson)
                put(stdout, R"({"type":"system","subtype":"api_retry","attempt":)" + attempt +
                                R"(,"max_retries":10,"retry_delay_ms":600.5,"error_status":)" +
                                (unreachable ? std::string("null") : status) + R"(,"error":")" +
                                (unreachable ? "unknown" : "server_error") +
                                R"(","session_id":"standin-session","uuid":"standin-retry"})" "\n");
        } else if (verb == "hold") {
            flushAll();
            while (access(rest.c_str(), F_OK) != 0)
                sleepMs(10);
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
            const int code = static_cast<int>(std::strtol(rest.c_str(), nullptr, 10));
            finishRun(code);
            return code;
        } else {
            flushAll();
            std::fprintf(stderr, "claude stand-in: unknown command: %s\n", line.c_str());
            return 90;
        }
    }
    const int code = static_cast<int>(std::strtol(env("CLAUDE_STANDIN_EXIT").c_str(), nullptr, 10));
    finishRun(code);
    return code;
}
