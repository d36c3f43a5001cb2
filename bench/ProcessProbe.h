#pragma once

#include <cstdint>

#include <sys/types.h>

// Reads what the kernel accounts to a running process: its CPU time, both as /proc/<pid>/stat
// gives it (clock ticks, all threads, living and ended) and as the scheduler's nanosecond counters
// of its living threads give it, and its resident memory.
class ProcessProbe {
public:
    struct Sample {
        std::int64_t monotonicNanos = 0;
        // utime + stime, in clock ticks.
        std::uint64_t cpuTicks = 0;
        // Sum of /proc/<pid>/task/*/schedstat run times.
        std::uint64_t onCpuNanos = 0;
        long residentKiB = 0;
        int threads = 0;
    };

    explicit ProcessProbe(pid_t pid);

    // False once the process is gone.
    bool sample(Sample* sample) const;

    static long ticksPerSecond();

private:
    pid_t m_pid;
};
