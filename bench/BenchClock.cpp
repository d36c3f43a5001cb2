#include "BenchClock.h"

#include <algorithm>

#include <time.h>

namespace BenchClock {

namespace {

std::int64_t nanosOf(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace

std::int64_t monotonicNanos()
{
    return nanosOf(CLOCK_MONOTONIC);
}

std::int64_t threadCpuNanos()
{
    return nanosOf(CLOCK_THREAD_CPUTIME_ID);
}

Summary summarize(std::vector<double> values)
{
    Summary summary;
    if (values.empty())
        return summary;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    summary.median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
    summary.minimum = values.front();
    summary.maximum = values.back();
    return summary;
}

} // namespace BenchClock
