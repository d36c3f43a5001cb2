#pragma once

#include "FlashingOrder.h"

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The reports a device receives from the updater window, byte for byte, composed from the
// flashing order: the window keeps one output buffer, and every command rewrites only its own
// bytes, so what a report carries beyond them is whatever the buffer last held.
class FlashingReports {
public:
    using Report = FlashingOrder::Report;

    // `bufferStart` is what the buffer holds from its first byte (the report ID) before the
    // first report; the rest is zero.
    explicit FlashingReports(const std::vector<std::uint8_t>& bufferStart = {});

    // One info request.
    void info();
    // A run after its own info request that reaches the device for its first `delivered`
    // reports and stops there. With `preparedNext` the window had already put the next report
    // in its buffer when its write failed.
    void run(std::size_t delivered = FlashingOrder::runReports(), bool preparedNext = false);

    const std::vector<Report>& received() const { return m_received; }

    // Empty when `received` is `expected`; otherwise the first report that differs, in hex.
    static QString difference(const std::vector<Report>& expected,
                              const std::vector<Report>& received);

private:
    void compose(const FlashingOrder::Step& step);
    Report current() const;

    std::array<std::uint8_t, 65> m_buffer{};
    std::vector<Report> m_received;
};
