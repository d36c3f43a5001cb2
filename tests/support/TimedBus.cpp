#include "TimedBus.h"

#include <algorithm>

using Clock = std::chrono::steady_clock;

void TimedBus::resetTiming()
{
    m_longest = std::chrono::nanoseconds(0);
    m_timed_out_reads = 0;
}

void TimedBus::setReadTimeoutMs(std::uint32_t milliseconds)
{
    m_read_timeout_ms = milliseconds;
    VirtualHidAccess::setReadTimeoutMs(milliseconds);
}

bool TimedBus::writeReport(HidHandle handle, const std::uint8_t* report,
                           std::uint32_t* bytesWritten)
{
    const Clock::time_point start = Clock::now();
    const bool ok = VirtualHidAccess::writeReport(handle, report, bytesWritten);
    m_longest = std::max<std::chrono::nanoseconds>(m_longest, Clock::now() - start);
    return ok;
}

bool TimedBus::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                          std::uint32_t timeoutMs)
{
    const Clock::time_point start = Clock::now();
    const std::uint64_t waitedBefore = modelledDelayNanos();
    const bool ok = VirtualHidAccess::readReport(handle, report, bytesRead, timeoutMs);
    const auto took = Clock::now() - start;
    m_longest = std::max<std::chrono::nanoseconds>(m_longest, took);
    // The bus's account of its own waits, not the wall clock, which also counts a busy machine.
    const std::chrono::nanoseconds waited(modelledDelayNanos() - waitedBefore);
    if (!ok && waited >= std::chrono::milliseconds(std::min(timeoutMs, m_read_timeout_ms)))
        ++m_timed_out_reads;
    return ok;
}
