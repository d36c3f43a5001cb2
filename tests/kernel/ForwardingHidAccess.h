#pragma once

#include "HidAccess.h"

#include <array>
#include <cstdint>
#include <vector>

// Hands every call to another HidAccess, records the reports that went out and counts what was
// opened: an interface whose open succeeded is sorted, by the attributes read next, into the
// controller (either identity) and everything else. It says it does not reach hardware, which lets
// a stand-in firmware image through to the USB gadget of the kernel test: inside that virtual
// machine the gadget is the only device there is.
class ForwardingHidAccess : public HidAccess {
public:
    explicit ForwardingHidAccess(HidAccess& target)
        : m_target(target)
    {
    }

    HidGuid getHidGuid() override { return m_target.getHidGuid(); }
    HidHandle openInterface(const HidGuid& hidClass, std::uint32_t index) override;
    bool getAttributes(HidHandle handle, HidAttributes* attributes) override;
    bool getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                          std::uint32_t bufferLength) override;
    bool writeReport(HidHandle handle, const std::uint8_t* report,
                     std::uint32_t* bytesWritten) override;
    bool readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                    std::uint32_t timeoutMs) override;
    bool flushInput(HidHandle handle) override { return m_target.flushInput(handle); }
    void closeHandle(HidHandle handle) override { m_target.closeHandle(handle); }
    void sleepMs(std::uint32_t milliseconds) override { m_target.sleepMs(milliseconds); }
    bool isKeyHeld(HidKey key) override { return m_target.isKeyHeld(key); }
    bool reachesHardware() const override { return false; }

    using Report = std::array<std::uint8_t, kReportSize>;
    // Reports whose write succeeded, in order.
    const std::vector<Report>& writtenReports() const { return m_written; }
    int failedWrites() const { return m_failed_writes; }
    int successfulReads() const { return m_successful_reads; }
    int failedReads() const { return m_failed_reads; }
    // How long the last failed read held the caller; -1 before any.
    long long lastFailedReadMs() const { return m_last_failed_read_ms; }
    int stringRequests() const { return m_string_requests; }
    // Opened and found not to be the controller (or its attributes unreadable).
    int foreignOpens() const { return m_foreign_opens; }
    int controllerOpens() const { return m_controller_opens; }
    // Present but refused: INVALID_HID_HANDLE.
    int unopenable() const { return m_unopenable; }

private:
    HidAccess& m_target;
    std::vector<Report> m_written;
    int m_failed_writes = 0;
    int m_successful_reads = 0;
    int m_failed_reads = 0;
    long long m_last_failed_read_ms = -1;
    int m_string_requests = 0;
    HidHandle m_unsorted = nullptr;
    int m_foreign_opens = 0;
    int m_controller_opens = 0;
    int m_unopenable = 0;
};
