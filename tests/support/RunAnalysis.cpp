#include "RunAnalysis.h"

#include "BootloaderProtocol.h"
#include "FirmwareImage.h"

#include <algorithm>

namespace {

bool isCommand(const std::vector<std::uint8_t>& report, std::uint8_t command)
{
    return report.size() == kReportSize && FlashingOrder::isCommand(report.data() + 1, command);
}

std::uint32_t littleEndian32(const std::vector<std::uint8_t>& report, int at)
{
    return report[at] | report[at + 1] << 8 | report[at + 2] << 16
         | static_cast<std::uint32_t>(report[at + 3]) << 24;
}

} // namespace

RunAnalysis::RunAnalysis(const std::vector<VirtualHidAccess::Transfer>& trace)
{
    using Transfer = VirtualHidAccess::Transfer;
    // The bootloader takes the eight reports after a CMD_SET_PAGE as data, whatever they hold.
    int chunksToCome = 0;
    int pageAwaitingChecksum = -1;
    std::vector<std::uint8_t> lastWritten;
    for (const Transfer& transfer : trace) {
        if (transfer.kind != Transfer::Write && transfer.kind != Transfer::Read)
            continue;
        ++m_transfers;
        if (!transfer.ok)
            m_failed.push_back(m_transfers);

        if (transfer.kind == Transfer::Write) {
            ++m_writes;
            pageAwaitingChecksum = -1;
            if (!transfer.ok)
                continue;
            // What the program waits for next, whether the device took the report for a command or
            // for page data.
            lastWritten.assign(transfer.bytes.begin() + 1, transfer.bytes.begin() + 5);
            if (chunksToCome > 0) {
                --chunksToCome;
                continue;
            }
            if (isCommand(transfer.bytes, CMD_SET_PAGE)) {
                chunksToCome = static_cast<int>(FIRMWARE_CHUNKS_PER_PAGE);
            } else if (isCommand(transfer.bytes, CMD_PAGE_CHECKSUM)) {
                const std::uint32_t address = littleEndian32(transfer.bytes, 5);
                if (address % FIRMWARE_PAGE_SIZE == 0 && address < FIRMWARE_IMAGE_SIZE)
                    pageAwaitingChecksum = static_cast<int>(address / FIRMWARE_PAGE_SIZE);
            }
            continue;
        }

        if (transfer.ok
            && (lastWritten.empty()
                || !std::equal(lastWritten.begin(), lastWritten.end(), transfer.bytes.begin() + 1)))
            m_out_of_step.push_back(m_transfers);
        if (pageAwaitingChecksum >= 0 && transfer.ok
            && littleEndian32(transfer.bytes, 5) == g_page_checksums[pageAwaitingChecksum])
            m_verified_pages.push_back(pageAwaitingChecksum);
        pageAwaitingChecksum = -1;
    }
}
