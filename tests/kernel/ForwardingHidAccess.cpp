#include "ForwardingHidAccess.h"

#include "BootloaderProtocol.h"

#include <algorithm>
#include <chrono>

HidHandle ForwardingHidAccess::openInterface(const HidGuid& hidClass, std::uint32_t index)
{
    const HidHandle handle = m_target.openInterface(hidClass, index);
    if (handle == INVALID_HID_HANDLE)
        ++m_unopenable;
    else if (handle)
        m_unsorted = handle;
    return handle;
}

bool ForwardingHidAccess::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    const bool read = m_target.getAttributes(handle, attributes);
    if (handle && handle == m_unsorted) {
        const std::uint32_t id = read ? hidIdWord(attributes->vendorId, attributes->productId) : 0;
        if (id == NORMAL_MODE_ID_WORD || id == BOOTLOADER_MODE_ID_WORD)
            ++m_controller_opens;
        else
            ++m_foreign_opens;
        m_unsorted = nullptr;
    }
    return read;
}

bool ForwardingHidAccess::getIndexedString(HidHandle handle, std::uint32_t stringIndex,
                                           void* buffer, std::uint32_t bufferLength)
{
    ++m_string_requests;
    return m_target.getIndexedString(handle, stringIndex, buffer, bufferLength);
}

bool ForwardingHidAccess::writeReport(HidHandle handle, const std::uint8_t* report,
                                      std::uint32_t* bytesWritten)
{
    const bool written = m_target.writeReport(handle, report, bytesWritten);
    if (written) {
        Report copy;
        std::copy(report, report + kReportSize, copy.begin());
        m_written.push_back(copy);
    } else {
        ++m_failed_writes;
    }
    return written;
}

bool ForwardingHidAccess::readReport(HidHandle handle, std::uint8_t* report,
                                     std::uint32_t* bytesRead, std::uint32_t timeoutMs)
{
    const auto start = std::chrono::steady_clock::now();
    const bool read = m_target.readReport(handle, report, bytesRead, timeoutMs);
    if (read) {
        ++m_successful_reads;
    } else {
        ++m_failed_reads;
        m_last_failed_read_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
    }
    return read;
}
