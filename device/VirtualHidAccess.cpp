#include "VirtualHidAccess.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// The value HidD_GetHidGuid gives on Windows.
const HidGuid g_hidClassGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

using Clock = std::chrono::steady_clock;

constexpr std::chrono::microseconds g_spinMargin{200};

} // namespace

struct VirtualHidAccess::Interface {
    enum class Kind { Foreign, Unopenable, Attributeless, Controller };
    Kind kind;
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::unique_ptr<VirtualController> controller;
    bool plugged = true;
    // Dropped off the bus to restart; back, in bootloader mode, at the next enumeration.
    bool restarting = false;
    // Changes whenever the interface leaves the bus, so that its old handles stay dead.
    std::uint64_t attachment = 0;

    bool present() const { return plugged && !restarting; }
};

VirtualHidAccess::VirtualHidAccess() = default;

VirtualHidAccess::~VirtualHidAccess() = default;

void VirtualHidAccess::addForeignInterface(std::uint16_t vid, std::uint16_t pid)
{
    auto interface = std::make_unique<Interface>();
    *interface = Interface{Interface::Kind::Foreign, vid, pid, nullptr, true, false, m_next_attachment++};
    m_interfaces.push_back(std::move(interface));
}

void VirtualHidAccess::addUnopenableInterface(std::uint16_t vid, std::uint16_t pid)
{
    auto interface = std::make_unique<Interface>();
    *interface = Interface{Interface::Kind::Unopenable, vid, pid, nullptr, true, false, m_next_attachment++};
    m_interfaces.push_back(std::move(interface));
}

void VirtualHidAccess::addAttributelessInterface(std::uint16_t vid, std::uint16_t pid)
{
    auto interface = std::make_unique<Interface>();
    *interface = Interface{Interface::Kind::Attributeless, vid, pid, nullptr, true, false, m_next_attachment++};
    m_interfaces.push_back(std::move(interface));
}

VirtualController& VirtualHidAccess::addController()
{
    auto interface = std::make_unique<Interface>();
    *interface = Interface{Interface::Kind::Controller, CONTROLLER_VID, 0,
                           std::make_unique<VirtualController>(), true, false, m_next_attachment++};
    interface->controller->setPageProgramMicros(m_page_program_micros);
    VirtualController& controller = *interface->controller;
    m_interfaces.push_back(std::move(interface));
    return controller;
}

void VirtualHidAccess::setPlugged(VirtualController& controller, bool plugged)
{
    const int entry = entryOf(controller);
    if (entry < 0)
        return;
    Interface& interface = *m_interfaces[entry];
    if (interface.plugged == plugged)
        return;
    if (plugged) {
        interface.plugged = true;
        interface.attachment = m_next_attachment++;
        interface.controller->resetTransferState();
    } else {
        detach(interface);
        interface.plugged = false;
        interface.controller->resetTransferState();
    }
}

bool VirtualHidAccess::isPlugged(const VirtualController& controller) const
{
    const int entry = entryOf(controller);
    return entry >= 0 && m_interfaces[entry]->plugged;
}

int VirtualHidAccess::controllerCount() const
{
    return static_cast<int>(std::count_if(m_interfaces.begin(), m_interfaces.end(),
                                          [](const std::unique_ptr<Interface>& interface) {
                                              return interface->controller != nullptr;
                                          }));
}

VirtualController& VirtualHidAccess::controller(int n)
{
    for (const std::unique_ptr<Interface>& interface : m_interfaces) {
        if (interface->controller && n-- == 0)
            return *interface->controller;
    }
    std::abort();
}

std::unique_ptr<VirtualHidAccess> VirtualHidAccess::createDemoBus()
{
    auto bus = std::make_unique<VirtualHidAccess>();
    // A wireless mouse receiver and a keyboard, as most desks have.
    bus->addForeignInterface(0x046D, 0xC52B);
    bus->addForeignInterface(0x046D, 0xC31C);
    bus->setLatency(1000, 4000);
    bus->addController().setInstalledVersion(0x0116);
    return bus;
}

void VirtualHidAccess::setKeyHeld(HidKey key, bool held)
{
    m_keys_held[key] = held;
}

int VirtualHidAccess::keyQueries(HidKey key) const
{
    const auto found = m_key_queries.find(key);
    return found == m_key_queries.end() ? 0 : found->second;
}

void VirtualHidAccess::setLatency(std::uint32_t reportMicros, std::uint32_t pageProgramMicros)
{
    m_report_micros = reportMicros;
    m_page_program_micros = pageProgramMicros;
    for (const std::unique_ptr<Interface>& interface : m_interfaces) {
        if (interface->controller)
            interface->controller->setPageProgramMicros(pageProgramMicros);
    }
}

void VirtualHidAccess::setReadTimeoutMs(std::uint32_t milliseconds)
{
    m_read_timeout_ms = milliseconds;
}

void VirtualHidAccess::setRealSleeps(bool real)
{
    m_real_sleeps = real;
}

std::uint64_t VirtualHidAccess::sleptMs() const
{
    return m_slept_ms;
}

std::uint64_t VirtualHidAccess::modelledDelayNanos() const
{
    return m_modelled_delay_nanos;
}

void VirtualHidAccess::failWrite(int n)
{
    m_faults.push_back({FaultKind::FailWrite, n, {}});
}

void VirtualHidAccess::failRead(int n)
{
    m_faults.push_back({FaultKind::FailRead, n, {}});
}

void VirtualHidAccess::neverAnswerRead(int n)
{
    m_faults.push_back({FaultKind::NeverAnswer, n, {}});
}

void VirtualHidAccess::unplugAtTransfer(int n)
{
    m_faults.push_back({FaultKind::Unplug, n, {}});
}

void VirtualHidAccess::garbageReply(int n, std::vector<std::uint8_t> bytes)
{
    m_faults.push_back({FaultKind::Garbage, n, std::move(bytes)});
}

void VirtualHidAccess::failStringRequest(int n)
{
    m_faults.push_back({FaultKind::FailString, n, {}});
}

void VirtualHidAccess::clearFaults()
{
    m_faults.clear();
}

const std::vector<VirtualHidAccess::Transfer>& VirtualHidAccess::trace() const
{
    return m_trace;
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

int VirtualHidAccess::writeCount() const
{
    return m_write_number;
}

int VirtualHidAccess::readCount() const
{
    return m_read_number;
}

int VirtualHidAccess::stringRequestCount() const
{
    return m_string_request_number;
}

void VirtualHidAccess::clearTrace()
{
    m_trace.clear();
    m_transfer_number = 0;
    m_write_number = 0;
    m_read_number = 0;
    m_string_request_number = 0;
}

int VirtualHidAccess::openHandleCount() const
{
    return static_cast<int>(m_handles.size());
}

int VirtualHidAccess::foreignOpenCount() const
{
    return m_foreign_open_count;
}

int VirtualHidAccess::foreignWriteCount() const
{
    return m_foreign_write_count;
}

HidGuid VirtualHidAccess::getHidGuid()
{
    // A discovery pass starts here: a controller that dropped off to restart has re-enumerated.
    for (const std::unique_ptr<Interface>& interface : m_interfaces) {
        if (interface->restarting) {
            interface->restarting = false;
            interface->controller->restartIntoBootloader();
            interface->attachment = m_next_attachment++;
        }
    }
    return g_hidClassGuid;
}

HidHandle VirtualHidAccess::openInterface(const HidGuid& hidClass, std::uint32_t index)
{
    const bool hidClassGiven = std::memcmp(&hidClass.data1, &g_hidClassGuid.data1, 4) == 0
        && hidClass.data2 == g_hidClassGuid.data2 && hidClass.data3 == g_hidClassGuid.data3
        && std::memcmp(hidClass.data4, g_hidClassGuid.data4, 8) == 0;
    const int entry = hidClassGiven ? entryAtPosition(index) : -1;
    if (entry < 0) {
        record(Transfer::Open, nullptr, 0, false, 0, static_cast<int>(index));
        return nullptr;
    }
    Interface& interface = *m_interfaces[entry];
    if (interface.kind != Interface::Kind::Controller)
        ++m_foreign_open_count;
    if (interface.kind == Interface::Kind::Unopenable) {
        record(Transfer::Open, nullptr, 0, false, 0, static_cast<int>(index));
        return INVALID_HID_HANDLE;
    }
    const HidHandle handle = reinterpret_cast<HidHandle>(m_next_handle);
    m_next_handle += 0x10;
    m_handles[handle] = OpenHandle{entry, interface.attachment, static_cast<int>(index)};
    record(Transfer::Open, nullptr, 0, true, 0, static_cast<int>(index));
    return handle;
}

bool VirtualHidAccess::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    const Interface* interface = liveInterface(handle);
    if (!interface || interface->kind == Interface::Kind::Attributeless)
        return false;
    attributes->vendorId = interface->vendorId;
    attributes->productId = interface->controller ? interface->controller->productId()
                                                  : interface->productId;
    attributes->versionNumber = 0x0100;
    return true;
}

bool VirtualHidAccess::getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                        std::uint32_t bufferLength)
{
    ++m_string_request_number;
    const int index = static_cast<int>(stringIndex);
    const OpenHandle* open = nullptr;
    Interface* interface = liveInterface(handle, &open);
    if (interface && !interface->controller) {
        ++m_foreign_write_count;
        interface = nullptr;
    }
    if (!interface || takeFault(FaultKind::FailString, m_string_request_number)) {
        record(Transfer::StringRequest, nullptr, 0, false, bufferLength, index);
        return false;
    }

    // The device answers with a string descriptor cut to the request's length; the HID stack
    // hands on the text behind its two-byte header and leaves the rest of the buffer alone.
    std::vector<std::uint8_t> descriptor(bufferLength, 0);
    VirtualController& controller = *interface->controller;
    if (!controller.stringRequest(stringIndex, descriptor.data(), bufferLength)) {
        record(Transfer::StringRequest, nullptr, 0, false, bufferLength, index);
        return false;
    }
    const std::size_t sent = bufferLength == 0 ? 0 : std::min<std::size_t>(descriptor[0], bufferLength);
    const std::size_t textSize = sent > 2 ? sent - 2 : 0;
    std::memcpy(buffer, descriptor.data() + 2, textSize);
    record(Transfer::StringRequest, descriptor.data() + 2, textSize, true, bufferLength, index);

    if (controller.restartRequested()) {
        interface->restarting = true;
        detach(*interface);
    }
    return true;
}

bool VirtualHidAccess::writeReport(HidHandle handle, const std::uint8_t* report,
                                   std::uint32_t* bytesWritten)
{
    ++m_transfer_number;
    ++m_write_number;
    *bytesWritten = 0;
    const OpenHandle* open = nullptr;
    Interface* interface = liveInterface(handle, &open);
    const int position = open ? open->position : -1;
    const auto fail = [&] {
        record(Transfer::Write, report, kReportSize, false, 0, position);
        return false;
    };

    if (interface && interface->controller && takeFault(FaultKind::Unplug, m_transfer_number)) {
        setPlugged(*interface->controller, false);
        return fail();
    }
    if (takeFault(FaultKind::FailWrite, m_write_number) || !interface)
        return fail();
    if (!interface->controller) {
        ++m_foreign_write_count;
        return fail();
    }
    VirtualController& controller = *interface->controller;
    if (controller.mode() != VirtualController::Mode::Bootloader)
        return fail();

    // An OUT transfer waits while the device is still programming a page.
    waitModelled(std::max(Clock::now(), m_busy_until) + std::chrono::microseconds(m_report_micros));
    controller.receiveOutputReport(report + 1);
    if (controller.busyMicrosAfterLastReport() > 0)
        m_busy_until = Clock::now() + std::chrono::microseconds(controller.busyMicrosAfterLastReport());
    *bytesWritten = kReportSize;
    record(Transfer::Write, report, kReportSize, true, kReportSize, position);
    return true;
}

bool VirtualHidAccess::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead)
{
    ++m_transfer_number;
    ++m_read_number;
    *bytesRead = 0;
    const OpenHandle* open = nullptr;
    Interface* interface = liveInterface(handle, &open);
    const int position = open ? open->position : -1;
    const auto fail = [&] {
        record(Transfer::Read, nullptr, 0, false, 0, position);
        return false;
    };
    const auto timeOut = [&] {
        waitModelled(Clock::now() + std::chrono::milliseconds(m_read_timeout_ms));
        return fail();
    };

    if (interface && interface->controller && takeFault(FaultKind::Unplug, m_transfer_number)) {
        setPlugged(*interface->controller, false);
        return fail();
    }
    if (takeFault(FaultKind::FailRead, m_read_number) || !interface)
        return fail();
    if (!interface->controller) {
        // Foreign devices never send what the updater waits for.
        ++m_foreign_write_count;
        return timeOut();
    }
    VirtualController& controller = *interface->controller;
    std::uint8_t data[kReportDataSize];
    if (takeFault(FaultKind::NeverAnswer, m_read_number)) {
        controller.takeInputReport(data);
        return timeOut();
    }
    std::vector<std::uint8_t> garbage;
    if (takeFault(FaultKind::Garbage, m_read_number, &garbage)) {
        waitModelled(std::max(Clock::now(), m_busy_until) + std::chrono::microseconds(m_report_micros));
        controller.takeInputReport(data);
        if (garbage.size() != kReportDataSize)
            return fail();
        std::copy(garbage.begin(), garbage.end(), data);
    } else {
        if (!controller.hasInputReport())
            return timeOut();
        // The reply to a page write comes only once the page is programmed.
        waitModelled(std::max(Clock::now(), m_busy_until) + std::chrono::microseconds(m_report_micros));
        controller.takeInputReport(data);
    }
    report[0] = 0;
    std::memcpy(report + 1, data, kReportDataSize);
    *bytesRead = kReportSize;
    record(Transfer::Read, report, kReportSize, true, kReportSize, position);
    return true;
}

void VirtualHidAccess::closeHandle(HidHandle handle)
{
    const auto found = m_handles.find(handle);
    if (found == m_handles.end()) {
        record(Transfer::Close, nullptr, 0, false, 0, -1);
        return;
    }
    const int position = found->second.position;
    m_handles.erase(found);
    record(Transfer::Close, nullptr, 0, true, 0, position);
}

void VirtualHidAccess::sleepMs(std::uint32_t milliseconds)
{
    m_slept_ms += milliseconds;
    if (m_real_sleeps)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool VirtualHidAccess::isKeyHeld(HidKey key)
{
    ++m_key_queries[key];
    const auto found = m_keys_held.find(key);
    return found != m_keys_held.end() && found->second;
}

bool VirtualHidAccess::reachesHardware() const
{
    return false;
}

int VirtualHidAccess::entryAtPosition(std::uint32_t position) const
{
    std::uint32_t seen = 0;
    for (std::size_t entry = 0; entry < m_interfaces.size(); ++entry) {
        if (!m_interfaces[entry]->present())
            continue;
        if (seen++ == position)
            return static_cast<int>(entry);
    }
    return -1;
}

int VirtualHidAccess::entryOf(const VirtualController& controller) const
{
    for (std::size_t entry = 0; entry < m_interfaces.size(); ++entry) {
        if (m_interfaces[entry]->controller.get() == &controller)
            return static_cast<int>(entry);
    }
    return -1;
}

VirtualHidAccess::Interface* VirtualHidAccess::liveInterface(HidHandle handle,
                                                            const OpenHandle** open)
{
    const auto found = m_handles.find(handle);
    if (found == m_handles.end())
        return nullptr;
    if (open)
        *open = &found->second;
    Interface& interface = *m_interfaces[found->second.entry];
    if (!interface.present() || interface.attachment != found->second.attachment)
        return nullptr;
    return &interface;
}

void VirtualHidAccess::detach(Interface& interface)
{
    interface.attachment = m_next_attachment++;
    m_busy_until = Clock::time_point();
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

void VirtualHidAccess::waitModelled(Clock::time_point until)
{
    const Clock::time_point start = Clock::now();
    if (until <= start)
        return;
    // A plain sleep overshoots by the timer slack and the wake-up, about a tenth of a 1 ms report;
    // sleeping to just short of the deadline and spinning the rest keeps the model exact.
    const Clock::time_point wake = until - g_spinMargin;
    if (wake > start)
        std::this_thread::sleep_until(wake);
    while (Clock::now() < until)
        std::this_thread::yield();
    m_modelled_delay_nanos += static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
}

void VirtualHidAccess::record(Transfer::Kind kind, const std::uint8_t* bytes, std::size_t size,
                              bool ok, std::uint32_t length, int index)
{
    Transfer transfer{kind, {}, ok, length, index};
    if (bytes)
        transfer.bytes.assign(bytes, bytes + size);
    m_trace.push_back(std::move(transfer));
}
