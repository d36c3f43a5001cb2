#include "LeanHidBus.h"

#include "AllocationCounter.h"

#include <algorithm>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// Handles are small tagged numbers: the controller's, or a base plus the foreign index.
const std::uintptr_t g_controllerHandle = 0x100;
const std::uintptr_t g_foreignHandleBase = 0x1000;

} // namespace

LeanHidBus::LeanHidBus(int foreignCount)
    : m_foreign_count(foreignCount)
{
    m_controller.setMode(VirtualController::Mode::Bootloader);
}

LeanHidBus::~LeanHidBus() = default;

void LeanHidBus::setLatency(std::uint32_t reportMicros, std::uint32_t pageProgramMicros)
{
    m_latency.setReportMicros(reportMicros);
    m_controller.setPageProgramMicros(pageProgramMicros);
}

HidGuid LeanHidBus::getHidGuid()
{
    return HidGuid{0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
}

HidHandle LeanHidBus::openInterface(const HidGuid&, std::uint32_t index)
{
    if (index < static_cast<std::uint32_t>(m_foreign_count)) {
        ++m_foreign_opens;
        ++m_open_handles;
        return reinterpret_cast<HidHandle>(g_foreignHandleBase + index);
    }
    if (index == static_cast<std::uint32_t>(m_foreign_count)) {
        ++m_controller_opens;
        ++m_open_handles;
        return reinterpret_cast<HidHandle>(g_controllerHandle);
    }
    return nullptr;
}

int LeanHidBus::interfaceOf(HidHandle handle) const
{
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == g_controllerHandle)
        return -1;
    if (value >= g_foreignHandleBase
        && value < g_foreignHandleBase + std::uintptr_t(m_foreign_count))
        return static_cast<int>(value - g_foreignHandleBase);
    return -2;
}

bool LeanHidBus::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    const int interface = interfaceOf(handle);
    if (interface == -2)
        return false;
    if (interface == -1) {
        attributes->vendorId = m_controller.vendorId();
        attributes->productId = m_controller.productId();
    } else {
        // A desk full of mice, keyboards and headsets from one vendor.
        attributes->vendorId = 0x046D;
        attributes->productId = static_cast<std::uint16_t>(0xC000 + interface);
    }
    attributes->versionNumber = 0x0100;
    return true;
}

bool LeanHidBus::getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                  std::uint32_t bufferLength)
{
    if (interfaceOf(handle) != -1) {
        ++m_foreign_transfers;
        return false;
    }
    const AllocationCounter::DeviceModel inDevice;
    const Clock::time_point start = Clock::now();
    std::uint8_t descriptor[256] = {};
    const std::uint32_t length = std::min<std::uint32_t>(bufferLength, sizeof descriptor);
    const bool answered = m_controller.stringRequest(stringIndex, descriptor, length);
    if (answered && length > 2)
        std::memcpy(buffer, descriptor + 2, std::min<std::uint32_t>(descriptor[0], length) - 2);
    m_device_time += Clock::now() - start;
    return answered;
}

bool LeanHidBus::writeReport(HidHandle handle, const std::uint8_t* report,
                             std::uint32_t* bytesWritten)
{
    *bytesWritten = 0;
    if (interfaceOf(handle) != -1) {
        ++m_foreign_transfers;
        return false;
    }
    const AllocationCounter::DeviceModel inDevice;
    const Clock::time_point start = Clock::now();
    m_latency.transferTo(m_controller, report + 1);
    m_device_time += Clock::now() - start;
    *bytesWritten = static_cast<std::uint32_t>(kReportSize);
    return true;
}

bool LeanHidBus::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                            std::uint32_t /*timeoutMs*/)
{
    *bytesRead = 0;
    if (interfaceOf(handle) != -1) {
        ++m_foreign_transfers;
        return false;
    }
    const AllocationCounter::DeviceModel inDevice;
    const Clock::time_point start = Clock::now();
    std::uint8_t data[kReportDataSize];
    const bool answered = m_latency.transferFrom(m_controller, data);
    if (answered) {
        report[0] = 0;
        std::memcpy(report + 1, data, kReportDataSize);
        *bytesRead = static_cast<std::uint32_t>(kReportSize);
    }
    m_device_time += Clock::now() - start;
    return answered;
}

bool LeanHidBus::flushInput(HidHandle handle)
{
    if (interfaceOf(handle) != -1)
        return interfaceOf(handle) >= 0;
    const AllocationCounter::DeviceModel inDevice;
    const Clock::time_point start = Clock::now();
    std::uint8_t data[kReportDataSize];
    while (m_controller.takeInputReport(data)) { }
    m_device_time += Clock::now() - start;
    return true;
}

void LeanHidBus::closeHandle(HidHandle handle)
{
    if (interfaceOf(handle) != -2)
        --m_open_handles;
}

void LeanHidBus::sleepMs(std::uint32_t)
{
}

bool LeanHidBus::isKeyHeld(HidKey)
{
    return false;
}

bool LeanHidBus::reachesHardware() const
{
    return false;
}
