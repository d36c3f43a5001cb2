#pragma once

#include "VirtualHidAccess.h"

#include <chrono>
#include <cstdint>

// A virtual bus that also clocks every report transfer, so a test can tell how long the updater
// was held inside one call and how many reads ran into their time limit.
class TimedBus : public VirtualHidAccess {
public:
    // Forgets the figures below; the trace and the faults are untouched.
    void resetTiming();
    // The longest single write or read since resetTiming().
    std::chrono::nanoseconds longestTransfer() const { return m_longest; }
    // Reads that waited at least the read time limit before failing.
    int timedOutReads() const { return m_timed_out_reads; }

    void setReadTimeoutMs(std::uint32_t milliseconds);

    bool writeReport(HidHandle handle, const std::uint8_t* report,
                     std::uint32_t* bytesWritten) override;
    bool readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                    std::uint32_t timeoutMs) override;

private:
    std::chrono::nanoseconds m_longest{0};
    int m_timed_out_reads = 0;
    std::uint32_t m_read_timeout_ms = kReportReadTimeoutMs;
};
