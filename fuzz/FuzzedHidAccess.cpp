#include "FuzzedHidAccess.h"

#include "BootloaderProtocol.h"
#include "FirmwareImage.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void misuse(const char* what)
{
    std::fprintf(stderr, "HID access misused: %s\n", what);
    std::abort();
}

} // namespace

void FuzzedHidAccess::setInput(FuzzedDataProvider* input)
{
    m_input = input;
    m_last_command = 0;
    m_last_address = 0;
    m_calls = 0;
    m_deviations.clear();
    // A few bytes place a deviation anywhere, even at the last read of a whole update (some 870
    // calls in), which a stream of one choice per call would need a thousand bytes to reach.
    const int count = input->ConsumeIntegralInRange<int>(0, 12);
    std::uint32_t call = 0;
    for (int i = 0; i < count; ++i) {
        call += input->ConsumeIntegralInRange<std::uint32_t>(1, 1000);
        m_deviations[call] = input->ConsumeIntegral<std::uint8_t>();
    }
}

int FuzzedHidAccess::choose(int choices)
{
    const auto deviation = m_deviations.find(++m_calls);
    return deviation == m_deviations.end() ? 0 : deviation->second % choices;
}

void FuzzedHidAccess::setEmpty(bool empty)
{
    m_empty = empty;
}

void FuzzedHidAccess::beginRun()
{
    m_page_matched.assign(FIRMWARE_PAGE_COUNT, false);
}

bool FuzzedHidAccess::everyPageMatchedThisRun() const
{
    if (m_page_matched.size() != FIRMWARE_PAGE_COUNT)
        return false;
    for (bool matched : m_page_matched) {
        if (!matched)
            return false;
    }
    return true;
}

HidGuid FuzzedHidAccess::getHidGuid()
{
    return HidGuid{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

HidHandle FuzzedHidAccess::openInterface(const HidGuid&, std::uint32_t)
{
    if (m_empty)
        return nullptr;
    switch (choose(4)) {
    case 1:
        return nullptr;
    case 2:
        return INVALID_HID_HANDLE;
    default: {
        const HidHandle handle = reinterpret_cast<HidHandle>(m_next_handle);
        m_next_handle += 0x10;
        m_open.insert(handle);
        return handle;
    }
    }
}

bool FuzzedHidAccess::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    if (handle == INVALID_HID_HANDLE)
        return false;
    requireOpen(handle);
    switch (choose(5)) {
    case 1:
        return false;
    case 2:
        attributes->vendorId = CONTROLLER_VID;
        attributes->productId = PID_NORMAL_MODE;
        return true;
    case 3:
        attributes->vendorId = m_input->ConsumeIntegral<std::uint16_t>();
        attributes->productId = m_input->ConsumeIntegral<std::uint16_t>();
        return true;
    case 4:
        // One id right, the other not.
        attributes->vendorId = m_input->ConsumeBool() ? CONTROLLER_VID : PID_BOOTLOADER_MODE;
        attributes->productId = m_input->ConsumeBool() ? CONTROLLER_VID : PID_BOOTLOADER_MODE;
        return true;
    default:
        attributes->vendorId = CONTROLLER_VID;
        attributes->productId = PID_BOOTLOADER_MODE;
        return true;
    }
}

bool FuzzedHidAccess::getIndexedString(HidHandle handle, std::uint32_t, void* buffer,
                                       std::uint32_t bufferLength)
{
    requireOpen(handle);
    if (choose(2) != 0)
        return false;
    // The whole length the window gave is written: a buffer shorter than it shows up as an
    // overflow under the address sanitizer.
    const std::vector<std::uint8_t> text = m_input->ConsumeBytes<std::uint8_t>(bufferLength);
    std::memset(buffer, 0, bufferLength);
    if (!text.empty())
        std::memcpy(buffer, text.data(), text.size());
    return true;
}

bool FuzzedHidAccess::writeReport(HidHandle handle, const std::uint8_t* report,
                                  std::uint32_t* bytesWritten)
{
    requireOpen(handle);
    *bytesWritten = 0;
    // Every byte of the report is read, so that a short buffer or an uninitialised byte is seen.
    std::uint32_t touched = 0;
    for (std::size_t i = 0; i < kReportSize; ++i)
        touched += report[i];
    (void)touched;
    if (report[0] != 0)
        misuse("a report whose byte 0 is not the report ID 0");
    const std::uint8_t* data = report + 1;
    const bool command = data[0] == COMMAND_LEAD_BYTE && data[2] == COMMAND_GUARD_BYTE
                      && data[3] == static_cast<std::uint8_t>(0xFF - data[1]);
    // Only a run that has passed the version gate selects pages; from then on the window holds no
    // version, since the flash is being rewritten.
    if (command && data[1] == CMD_SET_PAGE)
        m_expected_version = 0;
    if (choose(2) != 0) {
        m_last_command = 0;
        return false;
    }
    *bytesWritten = kReportSize;

    // The reply that may follow answers the header of this report, as the window sees it; data
    // chunks are never followed by a read, so a chunk that looks like a command changes nothing.
    m_last_command = command ? data[1] : 0;
    m_last_address
        = data[4] | data[5] << 8 | data[6] << 16 | static_cast<std::uint32_t>(data[7]) << 24;
    return true;
}

bool FuzzedHidAccess::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                                 std::uint32_t /*timeoutMs*/)
{
    requireOpen(handle);
    *bytesRead = 0;
    const std::uint8_t command = m_last_command;
    // A command is answered once.
    m_last_command = 0;

    std::uint8_t reply[kReportDataSize] = {};
    switch (choose(5)) {
    case 1:
        // No reply within the bound, or a reply cut short: either way no report arrived.
        return false;
    case 2: {
        const std::vector<std::uint8_t> bytes
            = m_input->ConsumeBytes<std::uint8_t>(kReportDataSize);
        if (!bytes.empty())
            std::memcpy(reply, bytes.data(), bytes.size());
        break;
    }
    case 3:
        // The frame of the right reply around a value from the input.
        reply[0] = COMMAND_LEAD_BYTE;
        reply[1] = command;
        reply[2] = COMMAND_GUARD_BYTE;
        reply[3] = static_cast<std::uint8_t>(0xFF - command);
        for (int i = 4; i < 8; ++i)
            reply[i] = m_input->ConsumeIntegral<std::uint8_t>();
        break;
    case 4:
        // A reply to nothing, or to the wrong command: whatever the input says.
        for (std::uint8_t& byte : reply)
            byte = m_input->ConsumeIntegral<std::uint8_t>();
        break;
    default:
        // What the controller answers.
        if (command == 0)
            return false;
        reply[0] = COMMAND_LEAD_BYTE;
        reply[1] = command;
        reply[2] = COMMAND_GUARD_BYTE;
        reply[3] = static_cast<std::uint8_t>(0xFF - command);
        if (command == CMD_GET_INFO) {
            const std::uint16_t version = m_input->ConsumeIntegral<std::uint16_t>();
            reply[4] = 0x00;
            reply[5] = BOOTLOADER_ID;
            reply[6] = static_cast<std::uint8_t>(version >> 8);
            reply[7] = static_cast<std::uint8_t>(version);
        } else if (command == CMD_PAGE_CHECKSUM && m_last_address % FIRMWARE_PAGE_SIZE == 0
                   && m_last_address < FIRMWARE_IMAGE_SIZE) {
            const std::uint32_t sum = g_page_checksums[m_last_address / FIRMWARE_PAGE_SIZE];
            for (int i = 0; i < 4; ++i)
                reply[4 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
        }
        break;
    }

    report[0] = 0;
    std::memcpy(report + 1, reply, sizeof(reply));
    *bytesRead = kReportSize;

    // The record the window is held to.
    if (command == CMD_GET_INFO) {
        const std::uint32_t version = reply[6] << 8 | reply[7];
        m_expected_version = version == BLANK_VERSION_WORD ? 0 : version;
    } else if (command == CMD_PAGE_CHECKSUM && m_last_address % FIRMWARE_PAGE_SIZE == 0
               && m_last_address < FIRMWARE_IMAGE_SIZE && !m_page_matched.empty()) {
        const std::uint32_t value = reply[4] | reply[5] << 8 | reply[6] << 16
                                  | static_cast<std::uint32_t>(reply[7]) << 24;
        const std::size_t page = m_last_address / FIRMWARE_PAGE_SIZE;
        m_page_matched[page] = value == g_page_checksums[page];
    }
    return true;
}

bool FuzzedHidAccess::flushInput(HidHandle handle)
{
    requireOpen(handle);
    // Whatever reply was still to come for the last command is gone.
    m_last_command = 0;
    return true;
}

void FuzzedHidAccess::closeHandle(HidHandle handle)
{
    if (handle == INVALID_HID_HANDLE)
        return;
    if (m_open.erase(handle) != 1)
        misuse("closing a handle that is not open");
}

void FuzzedHidAccess::sleepMs(std::uint32_t)
{
}

bool FuzzedHidAccess::isKeyHeld(HidKey)
{
    return choose(2) != 0;
}

bool FuzzedHidAccess::reachesHardware() const
{
    return false;
}

void FuzzedHidAccess::requireOpen(HidHandle handle) const
{
    if (m_open.count(handle) != 1)
        misuse("a transfer on a handle that is not open");
}
