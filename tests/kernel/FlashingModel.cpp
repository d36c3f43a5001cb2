#include "FlashingModel.h"

#include "BootloaderProtocol.h"
#include "FirmwareImage.h"

#include <algorithm>

FlashingModel::FlashingModel(const std::vector<std::uint8_t>& bufferStart)
{
    std::copy_n(bufferStart.begin(), std::min(bufferStart.size(), m_buffer.size()),
                m_buffer.begin());
}

void FlashingModel::send(std::vector<Report>& out)
{
    Report report;
    std::copy(m_buffer.begin() + 1, m_buffer.end(), report.begin());
    out.push_back(report);
}

void FlashingModel::command(std::uint8_t code)
{
    m_buffer[0] = 0;
    m_buffer[1] = COMMAND_LEAD_BYTE;
    m_buffer[2] = code;
    m_buffer[3] = COMMAND_GUARD_BYTE;
    m_buffer[4] = static_cast<std::uint8_t>(0xFF - code);
}

void FlashingModel::pageCommand(std::uint8_t code, std::uint32_t page, std::uint8_t last,
                                std::vector<Report>& out)
{
    command(code);
    const std::uint32_t address = firmwarePageAddress(page);
    for (int i = 0; i < 4; ++i)
        m_buffer[5 + i] = static_cast<std::uint8_t>(address >> (8 * i));
    m_buffer[9] = last;
    send(out);
}

void FlashingModel::chunks(std::uint32_t page, std::vector<Report>& out)
{
    for (std::uint32_t j = 0; j < FIRMWARE_CHUNKS_PER_PAGE; ++j) {
        std::copy_n(g_firmware_image + firmwarePageAddress(page) + j * FIRMWARE_CHUNK_SIZE,
                    FIRMWARE_CHUNK_SIZE, m_buffer.begin() + 1);
        send(out);
    }
}

void FlashingModel::writeAndVerify(std::uint32_t page, std::vector<Report>& out)
{
    pageCommand(CMD_SET_PAGE, page, static_cast<std::uint8_t>(page), out);
    chunks(page, out);
    command(CMD_WRITE_PAGE);
    send(out);
    pageCommand(CMD_PAGE_CHECKSUM, page, PAGE_CHECKSUM_FLAG, out);
}

void FlashingModel::info()
{
    command(CMD_GET_INFO);
    send(m_received);
}

void FlashingModel::run(std::size_t delivered, bool preparedNext)
{
    std::vector<Report> whole;
    pageCommand(CMD_SET_PAGE, FIRMWARE_CLOSING_PAGE, FIRMWARE_CLOSING_PAGE, whole);
    chunks(FIRMWARE_CLOSING_PAGE, whole);
    for (std::uint32_t page = 0; page < FIRMWARE_PAGE_COUNT; ++page) {
        if (page != FIRMWARE_CLOSING_PAGE)
            writeAndVerify(page, whole);
    }
    writeAndVerify(FIRMWARE_CLOSING_PAGE, whole);

    delivered = std::min(delivered, whole.size());
    m_received.insert(m_received.end(), whole.begin(),
                      whole.begin() + static_cast<std::ptrdiff_t>(delivered));
    // What the buffer held when the run stopped: the last report it got out, or the one after.
    const std::size_t last = std::min(delivered - 1 + (preparedNext ? 1 : 0), whole.size() - 1);
    std::copy(whole[last].begin(), whole[last].end(), m_buffer.begin() + 1);
}

bool FlashingModel::isInfo(const Report& report)
{
    return report[0] == COMMAND_LEAD_BYTE && report[1] == CMD_GET_INFO
        && report[2] == COMMAND_GUARD_BYTE && report[3] == 0xFF - CMD_GET_INFO;
}

std::vector<std::size_t> FlashingModel::runStarts(const std::vector<Report>& reports)
{
    std::vector<std::size_t> starts;
    for (std::size_t i = 1; i < reports.size(); ++i) {
        const Report& r = reports[i];
        if (r[0] == COMMAND_LEAD_BYTE && r[1] == CMD_SET_PAGE && r[2] == COMMAND_GUARD_BYTE
            && r[3] == 0xFF - CMD_SET_PAGE && r[4] == 0x00 && r[5] == 0x20
            && r[8] == FIRMWARE_CLOSING_PAGE && isInfo(reports[i - 1]))
            starts.push_back(i);
    }
    return starts;
}

int FlashingModel::commandsWithReply(const std::vector<Report>& reports)
{
    // Chunks go unanswered, and so do pings; a chunk is data whatever it holds.
    int commands = 0;
    int pending = 0;
    for (const Report& report : reports) {
        if (pending > 0) {
            --pending;
            continue;
        }
        const std::uint8_t code = report[1];
        if (code == CMD_SET_PAGE)
            pending = FIRMWARE_CHUNKS_PER_PAGE;
        if (code == CMD_GET_INFO || code == CMD_SET_PAGE || code == CMD_WRITE_PAGE
            || code == CMD_PAGE_CHECKSUM)
            ++commands;
    }
    return commands;
}
