#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The reports a device receives from the updater window, derived from the flashing order alone:
// the window keeps one output buffer, and every command rewrites only its own bytes, so what a
// report carries beyond them is whatever the buffer last held. Kernel tests compare what their
// device received with this, byte for byte.
class FlashingModel {
public:
    using Report = std::array<std::uint8_t, 64>;
    // Reports of one whole run: page 16's data, then every other page written and verified, then
    // page 16 written and verified. Its own info request ahead of it is not counted.
    static constexpr std::size_t kRunReports = 680;

    // `bufferStart` is what the buffer holds from its first byte (the report ID) before the
    // first report; the rest is zero.
    explicit FlashingModel(const std::vector<std::uint8_t>& bufferStart = {});

    // One info request.
    void info();
    // A run that reaches the device for its first `delivered` reports and stops there. With
    // `preparedNext` the window had already put the next report in its buffer when its write
    // failed.
    void run(std::size_t delivered = kRunReports, bool preparedNext = false);

    const std::vector<Report>& received() const { return m_received; }

    static bool isInfo(const Report& report);
    // Where runs start: page 16 selected right after an info request (the flashing's own). Page
    // 16's closing write selects it too, but after the checksum of page 60.
    static std::vector<std::size_t> runStarts(const std::vector<Report>& reports);
    // Commands the device answers: everything but the data chunks and pings.
    static int commandsWithReply(const std::vector<Report>& reports);

private:
    void command(std::uint8_t code);
    void pageCommand(std::uint8_t code, std::uint32_t page, std::uint8_t last,
                     std::vector<Report>& out);
    void chunks(std::uint32_t page, std::vector<Report>& out);
    void writeAndVerify(std::uint32_t page, std::vector<Report>& out);
    void send(std::vector<Report>& out);

    std::array<std::uint8_t, 65> m_buffer{};
    std::vector<Report> m_received;
};
