#include "LatencyModel.h"

#include "VirtualController.h"

#include <algorithm>
#include <thread>

namespace {

constexpr std::chrono::microseconds g_spinMargin{200};

} // namespace

void LatencyModel::setReportMicros(std::uint32_t micros)
{
    m_report_micros = micros;
}

std::uint32_t LatencyModel::reportMicros() const
{
    return m_report_micros;
}

void LatencyModel::transferTo(VirtualController& controller, const std::uint8_t* data)
{
    // An OUT transfer waits while the device is still programming a page.
    waitForTransfer();
    controller.receiveOutputReport(data);
    if (controller.busyMicrosAfterLastReport() > 0)
        m_busy_until
            = Clock::now() + std::chrono::microseconds(controller.busyMicrosAfterLastReport());
}

bool LatencyModel::transferFrom(VirtualController& controller, std::uint8_t* data)
{
    if (!controller.hasInputReport())
        return false;
    // The reply to a page write comes only once the page is programmed.
    waitForTransfer();
    return controller.takeInputReport(data);
}

void LatencyModel::waitForTransfer()
{
    const Clock::time_point start = Clock::now();
    waitUntil(start, std::max(start, m_busy_until) + std::chrono::microseconds(m_report_micros));
}

void LatencyModel::waitFor(std::chrono::milliseconds duration)
{
    const Clock::time_point start = Clock::now();
    waitUntil(start, start + duration);
}

void LatencyModel::forgetBusyDevice()
{
    m_busy_until = Clock::time_point();
}

std::uint64_t LatencyModel::modelledDelayNanos() const
{
    return m_modelled_delay_nanos;
}

// The wait is accounted from the instant its deadline was taken from, so that it never counts as
// shorter than asked where the clock is coarse (100 ns steps on Windows).
void LatencyModel::waitUntil(Clock::time_point start, Clock::time_point until)
{
    if (until <= start)
        return;
    // A plain sleep overshoots by the timer slack and the wake-up, about a tenth of a 1 ms report;
    // sleeping to just short of the deadline and spinning the rest keeps the model exact.
    const Clock::time_point wake = until - g_spinMargin;
    if (wake > start)
        std::this_thread::sleep_until(wake);
    while (Clock::now() < until)
        std::this_thread::yield();
    m_modelled_delay_nanos += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}
