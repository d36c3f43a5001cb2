#include "VirtualController.h"

#include <algorithm>
#include <cstring>

namespace {

// Strings of the normal-mode firmware: 0 is the language table (US English); the switch sequence
// asks for 254, which the firmware answers like any other string until the fifth request.
const char16_t* const g_manufacturer = u"Lumaro";
const char16_t* const g_product = u"QR5 Controller";
const char16_t* const g_serial = u"QR5-7E21-0116";
const char16_t* const g_serviceString = u"QR5 service";

const char16_t* stringText(std::uint32_t index)
{
    switch (index) {
    case 1:
        return g_manufacturer;
    case 2:
        return g_product;
    case 3:
        return g_serial;
    case SWITCH_STRING_INDEX:
        return g_serviceString;
    default:
        return nullptr;
    }
}

// Fills flash with the bytes an older release might leave: anything but the embedded image, so
// that checksums only match after a page has really been written.
void fillWithOldFirmware(std::vector<std::uint8_t>& flash)
{
    std::uint32_t state = 0x0116C0DE;
    for (std::uint8_t& byte : flash) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
}

bool isCommandHeader(const std::uint8_t* data)
{
    return data[0] == COMMAND_LEAD_BYTE && data[2] == COMMAND_GUARD_BYTE
        && data[3] == static_cast<std::uint8_t>(0xFF - data[1]);
}

} // namespace

VirtualController::VirtualController()
    : m_programmed_since_invalidation(FIRMWARE_PAGE_COUNT, false)
    , m_flash(FIRMWARE_IMAGE_SIZE)
{
    fillWithOldFirmware(m_flash);
}

VirtualController::Mode VirtualController::mode() const
{
    return m_mode;
}

void VirtualController::setMode(Mode mode)
{
    m_mode = mode;
    m_restart_requested = false;
    m_switch_step = 0;
    resetTransferState();
}

std::uint16_t VirtualController::productId() const
{
    return m_mode == Mode::Normal ? PID_NORMAL_MODE : PID_BOOTLOADER_MODE;
}

std::uint16_t VirtualController::vendorId() const
{
    return CONTROLLER_VID;
}

bool VirtualController::stringRequest(std::uint32_t index, std::uint8_t* buffer,
                                      std::uint32_t length)
{
    if (m_mode != Mode::Normal)
        return false;

    // The switch is a sequence of exact requests; anything else starts it over, and a request
    // that is itself the first step counts as that step.
    constexpr std::size_t steps = sizeof(SWITCH_STRING_LENGTHS) / sizeof(SWITCH_STRING_LENGTHS[0]);
    if (index == SWITCH_STRING_INDEX && length == SWITCH_STRING_LENGTHS[m_switch_step]) {
        ++m_switch_step;
    } else if (index == SWITCH_STRING_INDEX && length == SWITCH_STRING_LENGTHS[0]) {
        m_switch_step = 1;
    } else {
        m_switch_step = 0;
    }
    if (m_switch_step == steps) {
        m_switch_step = 0;
        m_restart_requested = true;
    }

    std::uint8_t descriptor[255] = {};
    std::size_t size = 0;
    if (index == 0) {
        const std::uint8_t languages[] = {4, 0x03, 0x09, 0x04};
        size = sizeof(languages);
        std::memcpy(descriptor, languages, size);
    } else if (const char16_t* text = stringText(index)) {
        size = 2;
        for (; *text != 0 && size + 2 <= sizeof(descriptor); ++text) {
            descriptor[size++] = static_cast<std::uint8_t>(*text & 0xFF);
            descriptor[size++] = static_cast<std::uint8_t>(*text >> 8);
        }
        descriptor[0] = static_cast<std::uint8_t>(size);
        descriptor[1] = 0x03;
    } else {
        return false;
    }
    std::memcpy(buffer, descriptor, std::min<std::size_t>(size, length));
    return true;
}

bool VirtualController::restartRequested() const
{
    return m_restart_requested;
}

void VirtualController::restartIntoBootloader()
{
    m_mode = Mode::Bootloader;
    m_restart_requested = false;
    m_switch_step = 0;
    resetTransferState();
    ++m_restart_count;
}

void VirtualController::receiveOutputReport(const std::uint8_t* data)
{
    m_busy_micros = 0;
    if (m_mode != Mode::Bootloader)
        return;
    ++m_received_report_count;

    // After CMD_SET_PAGE the bootloader takes the next eight reports as page data, whatever
    // they hold: a chunk that happens to look like a command is still data.
    if (m_chunks_expected > 0) {
        std::memcpy(m_page_buffer + m_chunks_received * FIRMWARE_CHUNK_SIZE, data,
                    FIRMWARE_CHUNK_SIZE);
        ++m_chunks_received;
        --m_chunks_expected;
        return;
    }
    if (isCommandHeader(data))
        handleCommand(data);
}

void VirtualController::handleCommand(const std::uint8_t* data)
{
    switch (data[1]) {
    case CMD_GET_INFO: {
        std::vector<std::uint8_t>& reply = queueReply(data);
        const std::uint16_t version = reportedVersion();
        reply[4] = static_cast<std::uint8_t>(m_identifier >> 8);
        reply[5] = static_cast<std::uint8_t>(m_identifier);
        reply[6] = static_cast<std::uint8_t>(version >> 8);
        reply[7] = static_cast<std::uint8_t>(version);
        break;
    }
    case CMD_SET_PAGE:
        m_selected_page = pageOfAddress(data + 4);
        m_chunks_expected = static_cast<int>(FIRMWARE_CHUNKS_PER_PAGE);
        m_chunks_received = 0;
        queueReply(data);
        break;
    case CMD_WRITE_PAGE:
        programSelectedPage();
        queueReply(data);
        m_busy_micros = m_page_program_micros;
        break;
    case CMD_PAGE_CHECKSUM: {
        const int page = pageOfAddress(data + 4);
        std::uint32_t sum = page < 0 ? 0 : pageSum(page);
        if (page >= 0 && page == m_wrong_checksum_page)
            sum += m_checksum_error;
        std::vector<std::uint8_t>& reply = queueReply(data);
        for (int i = 0; i < 4; ++i)
            reply[4 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
        break;
    }
    default:
        // CMD_PING keeps the bootloader's watchdog quiet and is not answered; neither is an
        // unknown command.
        break;
    }
}

void VirtualController::programSelectedPage()
{
    if (m_selected_page < 0)
        return;
    std::memcpy(m_flash.data() + firmwarePageAddress(m_selected_page), m_page_buffer,
                FIRMWARE_PAGE_SIZE);
    ++m_programmed_page_count;
    m_programmed_pages.push_back(m_selected_page);

    // Writing any page breaks the installed firmware; the bootloader marks it valid again only
    // when the closing page lands after all the others.
    if (m_firmware_valid) {
        m_firmware_valid = false;
        std::fill(m_programmed_since_invalidation.begin(), m_programmed_since_invalidation.end(),
                  false);
    }
    m_programmed_since_invalidation[m_selected_page] = true;
    if (m_selected_page == FIRMWARE_CLOSING_PAGE
        && std::all_of(m_programmed_since_invalidation.begin(),
                       m_programmed_since_invalidation.end(),
                       [](bool programmed) { return programmed; })) {
        m_firmware_valid = true;
        m_installed_version = m_written_version;
    }
}

int VirtualController::pageOfAddress(const std::uint8_t* littleEndian)
{
    const std::uint32_t address = littleEndian[0] | littleEndian[1] << 8 | littleEndian[2] << 16
                                | static_cast<std::uint32_t>(littleEndian[3]) << 24;
    if (address % FIRMWARE_PAGE_SIZE != 0 || address >= FIRMWARE_IMAGE_SIZE)
        return -1;
    return static_cast<int>(address / FIRMWARE_PAGE_SIZE);
}

std::vector<std::uint8_t>& VirtualController::queueReply(const std::uint8_t* command)
{
    m_input_reports.emplace_back(kReportDataSize, 0);
    std::vector<std::uint8_t>& reply = m_input_reports.back();
    std::copy(command, command + 4, reply.begin());
    return reply;
}

bool VirtualController::takeInputReport(std::uint8_t* data)
{
    if (m_input_reports.empty())
        return false;
    std::copy(m_input_reports.front().begin(), m_input_reports.front().end(), data);
    m_input_reports.pop_front();
    return true;
}

bool VirtualController::hasInputReport() const
{
    return !m_input_reports.empty();
}

int VirtualController::queuedInputReportCount() const
{
    return static_cast<int>(m_input_reports.size());
}

void VirtualController::resetTransferState()
{
    m_input_reports.clear();
    m_chunks_expected = 0;
    m_chunks_received = 0;
    m_selected_page = -1;
    m_busy_micros = 0;
    std::memset(m_page_buffer, 0xFF, sizeof(m_page_buffer));
}

std::uint32_t VirtualController::busyMicrosAfterLastReport() const
{
    return m_busy_micros;
}

void VirtualController::setPageProgramMicros(std::uint32_t micros)
{
    m_page_program_micros = micros;
}

std::uint32_t VirtualController::pageProgramMicros() const
{
    return m_page_program_micros;
}

const std::uint8_t* VirtualController::flash() const
{
    return m_flash.data();
}

std::uint16_t VirtualController::reportedVersion() const
{
    return m_firmware_valid ? m_installed_version : static_cast<std::uint16_t>(BLANK_VERSION_WORD);
}

void VirtualController::setInstalledVersion(std::uint16_t version)
{
    m_installed_version = version;
    m_firmware_valid = version != BLANK_VERSION_WORD;
    std::fill(m_programmed_since_invalidation.begin(), m_programmed_since_invalidation.end(),
              false);
    if (m_firmware_valid)
        fillWithOldFirmware(m_flash);
    else
        std::fill(m_flash.begin(), m_flash.end(), 0xFF);
}

void VirtualController::setWrittenVersion(std::uint16_t version)
{
    m_written_version = version;
}

void VirtualController::setIdentifier(std::uint16_t identifier)
{
    m_identifier = identifier;
}

void VirtualController::setWrongChecksumPage(int page, std::uint32_t error)
{
    m_wrong_checksum_page = page;
    m_checksum_error = error;
}

int VirtualController::selectedPage() const
{
    return m_selected_page;
}

int VirtualController::programmedPageCount() const
{
    return m_programmed_page_count;
}

const std::vector<int>& VirtualController::programmedPages() const
{
    return m_programmed_pages;
}

int VirtualController::receivedReportCount() const
{
    return m_received_report_count;
}

int VirtualController::restartCount() const
{
    return m_restart_count;
}

void VirtualController::resetCounters()
{
    m_programmed_page_count = 0;
    m_programmed_pages.clear();
    m_received_report_count = 0;
    m_restart_count = 0;
}

std::uint32_t VirtualController::pageSum(int page) const
{
    if (page < 0 || page >= static_cast<int>(FIRMWARE_PAGE_COUNT))
        return 0;
    const std::uint8_t* start = m_flash.data() + firmwarePageAddress(page);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < FIRMWARE_PAGE_SIZE; ++i)
        sum += start[i];
    return sum;
}
