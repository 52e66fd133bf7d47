#pragma once

// Running a program to take what it prints, as the guard and nerim-git do to
// ask the real git a question: standard input from a descriptor or
// /dev/null, the program in a process group of its own, killed with that
// group when it outlasts its deadline or prints more than the caller takes.
//
// Plain C++ without Qt: the guard and the shim link it.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace nerim::platform::guard {

struct CapturedRun {
    bool started = false;
    bool timedOut = false;
    bool tooLarge = false;
    int status = -1; // the wait status
    std::string output;
    std::string errorOutput; // the first KiB

    // The first line of errorOutput, cut at 200 bytes, for a refusal.
    std::string firstErrorLine() const;
};

// As runCaptured, with standard input from `inputFd` (-1: /dev/null), and
// each piece of standard output handed to `consume` instead of kept; when
// `consume` returns false the program is stopped and `tooLarge` set.
CapturedRun runStreaming(const std::string &path, const std::vector<std::string> &arguments,
                         const std::vector<std::string> &environment, int timeoutMs, int inputFd,
                         const std::function<bool(std::string_view)> &consume, const char *folder = nullptr);

// As runCaptured, with `input` as standard input.
CapturedRun runCapturedWithInput(const std::string &path, const std::vector<std::string> &arguments,
                                 const std::vector<std::string> &environment, int timeoutMs, size_t maxBytes,
                                 const std::string &input);

// Runs `path` with `arguments` (argv[0] first) and `environment` (NAME=value),
// standard input from /dev/null, and takes what it prints; killed when it
// takes longer than `timeoutMs` or prints more than `maxBytes`.
// `folder`: where it runs (null: here).
CapturedRun runCaptured(const std::string &path, const std::vector<std::string> &arguments,
                        const std::vector<std::string> &environment, int timeoutMs, size_t maxBytes,
                        const char *folder = nullptr);

} // namespace nerim::platform::guard
