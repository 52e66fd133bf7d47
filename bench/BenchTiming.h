#pragma once

// Timing helpers the benchmarks share.

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace nerim::bench {

// One figure beside its target, and whether it met it, on a line of its own.
inline void report(const char *what, double value, const char *unit, const char *target, bool met)
{
    std::printf("%-66s %10.2f %-5s target %-10s %s\n", what, value, unit, target, met ? "met" : "MISSED");
}

// A figure shown for information, without a target.
inline void inform(const char *what, double value, const char *unit)
{
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
