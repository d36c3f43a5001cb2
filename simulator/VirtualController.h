#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "BootloaderProtocol.h"
#include "FirmwareImage.h"
#include "HidAccess.h"

// The controller's behaviour, free of any transport, so that the in-process virtual bus and a USB
// gadget share one model: the normal-mode switch sequence, the bootloader's commands and replies,
// its flash and the rule that makes the installed firmware valid.
class VirtualController {
public:
    enum class Mode { Normal, Bootloader };

    // Normal mode, with a valid firmware one version below the embedded one installed.
    VirtualController();

    Mode mode() const;
    // Tests start directly in the bootloader with this; it clears any pending restart.
    void setMode(Mode mode);
    // PID_NORMAL_MODE or PID_BOOTLOADER_MODE.
    std::uint16_t productId() const;
    // CONTROLLER_VID.
    std::uint16_t vendorId() const;

    // Normal mode: a string descriptor request as the host makes it (index, wLength). Fills at
    // most `length` bytes of `buffer` with a USB string descriptor (bLength, 0x03, UTF-16LE text)
    // and returns true; returns false (a stall) in bootloader mode. Requests for index 254 with
    // lengths 14, 15, 16, 17, 18 in that order request a restart; any other request resets the
    // sequence (a request that matches its first step starts it again).
    bool stringRequest(std::uint32_t index, std::uint8_t* buffer, std::uint32_t length);
    // The transport then drops the device off the bus...
    bool restartRequested() const;
    // ...and attaches it again: the mode becomes Bootloader and the bootloader starts afresh.
    void restartIntoBootloader();

    // Bootloader mode: one output report's 64 data bytes (no report-ID byte). Ignored in normal
    // mode.
    void receiveOutputReport(const std::uint8_t* data);
    // The next queued input report's 64 data bytes; false when none is queued.
    bool takeInputReport(std::uint8_t* data);
    bool hasInputReport() const;
    // Replies waiting to be read.
    int queuedInputReportCount() const;
    // What a power cycle or a bus reset loses: queued replies, a page run in progress, the
    // selected page and the page buffer. Flash, mode and version stay.
    void resetTransferState();

    // Microseconds the last received report keeps the device busy beyond the USB transfer (page
    // programming after CMD_WRITE_PAGE), so that a transport can model it. 0 otherwise.
    std::uint32_t busyMicrosAfterLastReport() const;
    void setPageProgramMicros(std::uint32_t micros);
    std::uint32_t pageProgramMicros() const;

    // State
    // FIRMWARE_IMAGE_SIZE (31,232) bytes.
    const std::uint8_t* flash() const;
    // The version word of the info reply: the installed version, or 0xFFFF when blank.
    std::uint16_t reportedVersion() const;
    // Installs a valid firmware with that version; 0xFFFF leaves the controller blank.
    void setInstalledVersion(std::uint16_t version);
    // The version a completed write makes valid; EMBEDDED_FIRMWARE_VERSION by default.
    void setWrittenVersion(std::uint16_t version);
    // The info reply's identifier; BOOTLOADER_ID (0x006D) by default.
    void setIdentifier(std::uint16_t identifier);
    // The page whose checksum reply is wrong: the true sum plus `error`, modulo 2^32, so that a
    // reply can be off below, above or only in its high bytes; -1 for none.
    void setWrongChecksumPage(int page, std::uint32_t error = 1);
    // The page that CMD_SET_PAGE last selected; -1 before any.
    int selectedPage() const;
    // Page programs since construction (or the last resetCounters).
    int programmedPageCount() const;
    // Pages in the order they were programmed.
    const std::vector<int>& programmedPages() const;
    // Output reports received in bootloader mode.
    int receivedReportCount() const;
    int restartCount() const;
    void resetCounters();

    // The 32-bit byte sum of one page of flash.
    std::uint32_t pageSum(int page) const;

private:
    std::vector<std::uint8_t>& queueReply(const std::uint8_t* command);
    void handleCommand(const std::uint8_t* data);
    void programSelectedPage();
    static int pageOfAddress(const std::uint8_t* littleEndian);

    Mode m_mode = Mode::Normal;
    bool m_restart_requested = false;
    std::size_t m_switch_step = 0;

    std::uint16_t m_identifier = BOOTLOADER_ID;
    std::uint16_t m_installed_version = EMBEDDED_FIRMWARE_VERSION - 1;
    std::uint16_t m_written_version = EMBEDDED_FIRMWARE_VERSION;
    bool m_firmware_valid = true;
    // Pages programmed since the firmware was last invalidated.
    std::vector<bool> m_programmed_since_invalidation;

    int m_selected_page = -1;
    // Data chunks still to come after CMD_SET_PAGE, and where the next one lands.
    int m_chunks_expected = 0;
    int m_chunks_received = 0;
    std::uint8_t m_page_buffer[FIRMWARE_PAGE_SIZE] = {};
    std::vector<std::uint8_t> m_flash;

    std::deque<std::vector<std::uint8_t>> m_input_reports;
    std::uint32_t m_busy_micros = 0;
    std::uint32_t m_page_program_micros = 0;
    int m_wrong_checksum_page = -1;
    std::uint32_t m_checksum_error = 1;

    int m_programmed_page_count = 0;
    std::vector<int> m_programmed_pages;
    int m_received_report_count = 0;
    int m_restart_count = 0;
};
