#include "FlashingReports.h"

#include "BootloaderProtocol.h"
#include "FirmwareImage.h"
#include "TestSupport.h"

#include <algorithm>

using Role = FlashingOrder::Role;

FlashingReports::FlashingReports(const std::vector<std::uint8_t>& bufferStart)
{
    std::copy_n(bufferStart.begin(), std::min(bufferStart.size(), m_buffer.size()),
                m_buffer.begin());
}

FlashingReports::Report FlashingReports::current() const
{
    Report report;
    std::copy(m_buffer.begin() + 1, m_buffer.end(), report.begin());
    return report;
}

// Written from the report layouts rather than with the window's own composing functions, so that
// a fault in those shows as a difference.
void FlashingReports::compose(const FlashingOrder::Step& step)
{
    const std::uint32_t address = firmwarePageAddress(static_cast<std::uint32_t>(step.page));
    if (step.role == Role::Chunk) {
        std::copy_n(g_firmware_image + address + step.chunk * FIRMWARE_CHUNK_SIZE,
                    FIRMWARE_CHUNK_SIZE, m_buffer.begin() + 1);
        return;
    }
    const std::uint8_t code = FlashingOrder::commandOf(step.role);
    const std::uint8_t header[]
        = {0, COMMAND_LEAD_BYTE, code, COMMAND_GUARD_BYTE, static_cast<std::uint8_t>(0xFF - code)};
    std::copy(std::begin(header), std::end(header), m_buffer.begin());
    if (step.role == Role::SetPage || step.role == Role::Checksum) {
        for (int i = 0; i < 4; ++i)
            m_buffer[5 + i] = static_cast<std::uint8_t>(address >> (8 * i));
        m_buffer[9] = step.role == Role::SetPage ? static_cast<std::uint8_t>(step.page)
                                                 : PAGE_CHECKSUM_FLAG;
    }
}

void FlashingReports::info()
{
    compose(FlashingOrder::writeOf(Role::Info));
    m_received.push_back(current());
}

void FlashingReports::run(std::size_t delivered, bool preparedNext)
{
    std::vector<Report> whole;
    for (const FlashingOrder::Step& step : FlashingOrder::steps()) {
        if (step.write && step.role != Role::Info) {
            compose(step);
            whole.push_back(current());
        }
    }

    delivered = std::min(delivered, whole.size());
    m_received.insert(m_received.end(), whole.begin(),
                      whole.begin() + static_cast<std::ptrdiff_t>(delivered));
    // What the buffer held when the run stopped: the last report it got out, or the one after.
    const std::size_t last = std::min(delivered - 1 + (preparedNext ? 1 : 0), whole.size() - 1);
    std::copy(whole[last].begin(), whole[last].end(), m_buffer.begin() + 1);
}

QString FlashingReports::difference(const std::vector<Report>& expected,
                                    const std::vector<Report>& received)
{
    if (expected.size() != received.size())
        return QStringLiteral("%1 reports expected, %2 received")
            .arg(expected.size())
            .arg(received.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != received[i]) {
            return QStringLiteral("report %1 of %2 differs:\n expected %3\n received %4")
                .arg(i)
                .arg(received.size())
                .arg(QString::fromLatin1(hexBytes(expected[i].data(), 64)),
                     QString::fromLatin1(hexBytes(received[i].data(), 64)));
        }
    }
    return QString();
}
