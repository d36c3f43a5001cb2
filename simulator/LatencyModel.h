#pragma once

#include <chrono>
#include <cstdint>

class VirtualController;

// The pace of a full-speed USB device: every report, written or read, takes a fixed time on the
// wire, and the transfer that follows a page write waits until the page is programmed. The waits
// are real, so that a run takes as long as it would against the controller, and they are measured,
// so that what a run spends outside them is the program's own time.
class LatencyModel {
public:
    using Clock = std::chrono::steady_clock;

    // Zero, the default, waits for nothing but a page program still under way.
    void setReportMicros(std::uint32_t micros);
    std::uint32_t reportMicros() const;

    // One output report to the controller, delivered once its transfer is over.
    void transferTo(VirtualController& controller, const std::uint8_t* data);
    // The controller's next input report, once its transfer is over; false at once when none is
    // queued.
    bool transferFrom(VirtualController& controller, std::uint8_t* data);
    // Waits out one report's transfer, after any page program still under way.
    void waitForTransfer();
    // Waits as a read does that gets no reply.
    void waitFor(std::chrono::milliseconds duration);
    // The device left the bus: a page it was programming no longer holds anything up.
    void forgetBusyDevice();

    // Wall time measured inside the waits.
    std::uint64_t modelledDelayNanos() const;

private:
    void waitUntil(Clock::time_point start, Clock::time_point until);

    std::uint32_t m_report_micros = 0;
    // The device cannot answer before this instant (a page is being programmed).
    Clock::time_point m_busy_until;
    std::uint64_t m_modelled_delay_nanos = 0;
};
