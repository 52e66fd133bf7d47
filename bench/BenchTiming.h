#pragma once

// Timing helpers the benchmarks share.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace nerim::bench {

// The machine's load (/proc/loadavg: the run queue over 1, 5 and 15
// minutes), printed once before the first figure: figures taken on a busy
// machine say so.
inline void printLoadOnce()
{
    static bool printed = false;
    if (printed)
        return;
    printed = true;
    char load[128] = "unknown";
    if (std::FILE *file = std::fopen("/proc/loadavg", "r")) {
        if (!std::fgets(load, sizeof load, file))
            std::strcpy(load, "unknown");
        std::fclose(file);
    }
    load[std::strcspn(load, "\n")] = 0;
    std::printf("machine load (1, 5, 15 min; running/all; last pid): %s\n", load);
}

// One figure beside its target, and whether it met it, on a line of its own.
inline void report(const char *what, double value, const char *unit, const char *target, bool met)
{
    printLoadOnce();
    std::printf("%-66s %10.2f %-5s target %-10s %s\n", what, value, unit, target, met ? "met" : "MISSED");
}

// A figure shown for information, without a target.
inline void inform(const char *what, double value, const char *unit)
{
    printLoadOnce();
    std::printf("%-66s %10.2f %-5s\n", what, value, unit);
}

// Says so when the figures come from a build that is not optimised.
inline void noteDebugBuild()
{
#ifndef NDEBUG
    std::printf("note: a debug build; build in Release for meaningful figures\n");
#endif
}

// The value at fraction `p` (0–1) of the sorted values, the nearest rank; 0 when empty.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * (values.size() - 1) + 0.5))];
}

// CPU time of the calling thread, in milliseconds.
inline double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

} // namespace nerim::bench
