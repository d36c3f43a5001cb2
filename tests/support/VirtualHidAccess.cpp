#include "VirtualHidAccess.h"

#include <algorithm>

VirtualHidAccess::VirtualHidAccess() = default;

VirtualHidAccess::~VirtualHidAccess() = default;

int VirtualHidAccess::keyQueries(HidKey key) const
{
    const auto found = m_key_queries.find(key);
    return found == m_key_queries.end() ? 0 : found->second;
}

std::vector<std::vector<std::uint8_t>> VirtualHidAccess::writtenReports() const
{
    std::vector<std::vector<std::uint8_t>> reports;
    for (const Transfer& transfer : m_trace) {
        if (transfer.kind == Transfer::Write && transfer.ok)
            reports.push_back(transfer.bytes);
    }
    return reports;
}

void VirtualHidAccess::clearTrace()
{
    m_trace.clear();
    m_transfer_number = 0;
    m_write_number = 0;
    m_read_number = 0;
    m_string_request_number = 0;
}

void VirtualHidAccess::addAttributelessInterface(std::uint16_t vid, std::uint16_t pid)
{
    m_attributeless.insert({vid, pid});
    addForeignInterface(vid, pid);
}

HidHandle VirtualHidAccess::openInterface(const HidGuid& hidClass, std::uint32_t index)
{
    const HidHandle handle = VirtualHidBus::openInterface(hidClass, index);
    const bool opened = handle != nullptr && handle != INVALID_HID_HANDLE;
    if (handle == INVALID_HID_HANDLE || (opened && !endpointOf(handle).controller))
        ++m_foreign_open_count;
    record(Transfer::Open, nullptr, 0, opened, 0, static_cast<int>(index));
    return handle;
}

bool VirtualHidAccess::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    HidAttributes found{};
    if (!VirtualHidBus::getAttributes(handle, &found))
        return false;
    if (!endpointOf(handle).controller && m_attributeless.count({found.vendorId, found.productId}))
        return false;
    *attributes = found;
    return true;
}

bool VirtualHidAccess::getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                        std::uint32_t bufferLength)
{
    ++m_string_request_number;
    const int index = static_cast<int>(stringIndex);
    const Endpoint endpoint = endpointOf(handle);
    if (endpoint.attached && !endpoint.controller)
        ++m_foreign_write_count;
    if (!endpoint.controller || takeFault(FaultKind::FailString, m_string_request_number)) {
        record(Transfer::StringRequest, nullptr, 0, false, bufferLength, index);
        return false;
    }
    std::size_t textSize = 0;
    const bool ok = requestString(handle, stringIndex, buffer, bufferLength, &textSize);
    record(Transfer::StringRequest, ok ? static_cast<const std::uint8_t*>(buffer) : nullptr,
           textSize, ok, bufferLength, index);
    return ok;
}

bool VirtualHidAccess::writeReport(HidHandle handle, const std::uint8_t* report,
                                   std::uint32_t* bytesWritten)
{
    ++m_transfer_number;
    ++m_write_number;
    *bytesWritten = 0;
    const Endpoint endpoint = endpointOf(handle);
    const auto fail = [&] {
        record(Transfer::Write, report, kReportSize, false, 0, endpoint.position);
        return false;
    };

    if (endpoint.controller && takeFault(FaultKind::Unplug, m_transfer_number)) {
        setPlugged(*endpoint.controller, false);
        return fail();
    }
    if (takeFault(FaultKind::FailWrite, m_write_number) || !endpoint.attached)
        return fail();
    if (!endpoint.controller) {
        ++m_foreign_write_count;
        return fail();
    }
    if (!VirtualHidBus::writeReport(handle, report, bytesWritten))
        return fail();
    record(Transfer::Write, report, kReportSize, true, kReportSize, endpoint.position);
    return true;
}

bool VirtualHidAccess::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                                  std::uint32_t timeoutMs)
{
    ++m_transfer_number;
    ++m_read_number;
    *bytesRead = 0;
    const Endpoint endpoint = endpointOf(handle);
    const auto fail = [&] {
        record(Transfer::Read, nullptr, 0, false, 0, endpoint.position);
        return false;
    };
    const auto timeOut = [&] {
        waitOutReadTimeout(timeoutMs);
        return fail();
    };

    if (endpoint.controller && takeFault(FaultKind::Unplug, m_transfer_number)) {
        setPlugged(*endpoint.controller, false);
        return fail();
    }
    if (takeFault(FaultKind::FailRead, m_read_number) || !endpoint.attached)
        return fail();
    if (!endpoint.controller) {
        // Foreign devices never send what the updater waits for.
        ++m_foreign_write_count;
        return timeOut();
    }
    VirtualController& controller = *endpoint.controller;
    std::uint8_t data[kReportDataSize];
    if (takeFault(FaultKind::NeverAnswer, m_read_number)) {
        controller.takeInputReport(data);
        return timeOut();
    }
    if (takeFault(FaultKind::AnswerLate, m_read_number))
        return timeOut();
    std::vector<std::uint8_t> garbage;
    if (takeFault(FaultKind::Garbage, m_read_number, &garbage)) {
        latency().waitForTransfer();
        controller.takeInputReport(data);
        if (garbage.size() != kReportDataSize)
            return fail();
        report[0] = 0;
        std::copy(garbage.begin(), garbage.end(), report + 1);
        *bytesRead = kReportSize;
    } else if (!VirtualHidBus::readReport(handle, report, bytesRead, timeoutMs)) {
        return fail();
    }
    record(Transfer::Read, report, kReportSize, true, kReportSize, endpoint.position);
    return true;
}

void VirtualHidAccess::closeHandle(HidHandle handle)
{
    const int position = endpointOf(handle).position;
    VirtualHidBus::closeHandle(handle);
    record(Transfer::Close, nullptr, 0, position >= 0, 0, position);
}

void VirtualHidAccess::sleepMs(std::uint32_t milliseconds)
{
    m_slept_ms += milliseconds;
    if (m_real_sleeps)
        VirtualHidBus::sleepMs(milliseconds);
}

bool VirtualHidAccess::isKeyHeld(HidKey key)
{
    ++m_key_queries[key];
    const auto found = m_keys_held.find(key);
    return found != m_keys_held.end() && found->second;
}

bool VirtualHidAccess::takeFault(FaultKind kind, int number, std::vector<std::uint8_t>* bytes)
{
    const auto found = std::find_if(m_faults.begin(), m_faults.end(), [&](const Fault& fault) {
        return fault.kind == kind && fault.number == number;
    });
    if (found == m_faults.end())
        return false;
    if (bytes)
        *bytes = std::move(found->bytes);
    m_faults.erase(found);
    return true;
}

void VirtualHidAccess::record(Transfer::Kind kind, const std::uint8_t* bytes, std::size_t size,
                              bool ok, std::uint32_t length, int index)
{
    Transfer transfer{kind, {}, ok, length, index};
    if (bytes)
        transfer.bytes.assign(bytes, bytes + size);
    m_trace.push_back(std::move(transfer));
}
