#pragma once

#include <cstdint>
#include <vector>

// Clocks and summaries shared by the benchmark programs. All times are in nanoseconds.
namespace BenchClock {

// CLOCK_MONOTONIC: comparable between processes on this machine.
std::int64_t monotonicNanos();
// CPU time of the calling thread.
std::int64_t threadCpuNanos();

struct Summary {
    double median = 0;
    double minimum = 0;
    double maximum = 0;
};
Summary summarize(std::vector<double> values);

} // namespace BenchClock
