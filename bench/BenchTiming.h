#pragma once

// Timing helpers the benchmarks share.

#include <algorithm>
#include <ctime>
#include <vector>

namespace nerim::bench {

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
