#include "VirtualHidBus.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

// The value HidD_GetHidGuid gives on Windows.
const HidGuid g_hidClassGuid
    = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

} // namespace

struct VirtualHidBus::Interface {
    enum class Kind { Foreign, Unopenable, Controller };
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

VirtualHidBus::VirtualHidBus() = default;

VirtualHidBus::~VirtualHidBus() = default;

void VirtualHidBus::addInterface(std::unique_ptr<Interface> interface)
{
    interface->attachment = m_next_attachment++;
    m_interfaces.push_back(std::move(interface));
}

void VirtualHidBus::addForeignInterface(std::uint16_t vid, std::uint16_t pid)
{
    addInterface(
        std::make_unique<Interface>(Interface{Interface::Kind::Foreign, vid, pid, nullptr}));
}

void VirtualHidBus::addUnopenableInterface(std::uint16_t vid, std::uint16_t pid)
{
    addInterface(
        std::make_unique<Interface>(Interface{Interface::Kind::Unopenable, vid, pid, nullptr}));
}

VirtualController& VirtualHidBus::addController()
{
    auto interface = std::make_unique<Interface>(Interface{
        Interface::Kind::Controller, CONTROLLER_VID, 0, std::make_unique<VirtualController>()});
    interface->controller->setPageProgramMicros(m_page_program_micros);
    VirtualController& controller = *interface->controller;
    addInterface(std::move(interface));
    return controller;
}

void VirtualHidBus::setPlugged(VirtualController& controller, bool plugged)
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

bool VirtualHidBus::isPlugged(const VirtualController& controller) const
{
    const int entry = entryOf(controller);
    return entry >= 0 && m_interfaces[entry]->plugged;
}

int VirtualHidBus::controllerCount() const
{
    return static_cast<int>(std::count_if(m_interfaces.begin(), m_interfaces.end(),
                                          [](const std::unique_ptr<Interface>& interface) {
                                              return interface->controller != nullptr;
                                          }));
}

VirtualController& VirtualHidBus::controller(int n)
{
    for (const std::unique_ptr<Interface>& interface : m_interfaces) {
        if (interface->controller && n-- == 0)
            return *interface->controller;
    }
    std::abort();
}

std::unique_ptr<VirtualHidBus> VirtualHidBus::createDemoBus()
{
    auto bus = std::make_unique<VirtualHidBus>();
    // A wireless mouse receiver and a keyboard, as most desks have.
    bus->addForeignInterface(0x046D, 0xC52B);
    bus->addForeignInterface(0x046D, 0xC31C);
    bus->setLatency(1000, 4000);
    bus->addController().setInstalledVersion(EMBEDDED_FIRMWARE_VERSION - 1);
    return bus;
}

void VirtualHidBus::setLatency(std::uint32_t reportMicros, std::uint32_t pageProgramMicros)
{
    m_latency.setReportMicros(reportMicros);
    m_page_program_micros = pageProgramMicros;
    for (const std::unique_ptr<Interface>& interface : m_interfaces) {
        if (interface->controller)
            interface->controller->setPageProgramMicros(pageProgramMicros);
    }
}

void VirtualHidBus::setReadTimeoutMs(std::uint32_t milliseconds)
{
    m_read_timeout_ms = milliseconds;
}

void VirtualHidBus::waitOutReadTimeout(std::uint32_t askedMs)
{
    m_latency.waitFor(std::chrono::milliseconds(std::min(askedMs, m_read_timeout_ms)));
}

LatencyModel& VirtualHidBus::latency()
{
    return m_latency;
}

const LatencyModel& VirtualHidBus::latency() const
{
    return m_latency;
}

int VirtualHidBus::openHandleCount() const
{
    return static_cast<int>(m_handles.size());
}

VirtualHidBus::Endpoint VirtualHidBus::endpointOf(HidHandle handle)
{
    Endpoint endpoint;
    const auto found = m_handles.find(handle);
    if (found == m_handles.end())
        return endpoint;
    endpoint.position = found->second.position;
    if (Interface* interface = liveInterface(handle)) {
        endpoint.attached = true;
        endpoint.controller = interface->controller.get();
    }
    return endpoint;
}

HidGuid VirtualHidBus::getHidGuid()
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

HidHandle VirtualHidBus::openInterface(const HidGuid& hidClass, std::uint32_t index)
{
    const bool hidClassGiven = std::memcmp(&hidClass.data1, &g_hidClassGuid.data1, 4) == 0
                            && hidClass.data2 == g_hidClassGuid.data2
                            && hidClass.data3 == g_hidClassGuid.data3
                            && std::memcmp(hidClass.data4, g_hidClassGuid.data4, 8) == 0;
    const int entry = hidClassGiven ? entryAtPosition(index) : -1;
    if (entry < 0)
        return nullptr;
    Interface& interface = *m_interfaces[entry];
    if (interface.kind == Interface::Kind::Unopenable)
        return INVALID_HID_HANDLE;
    const HidHandle handle = reinterpret_cast<HidHandle>(m_next_handle);
    m_next_handle += 0x10;
    m_handles[handle] = OpenHandle{entry, interface.attachment, static_cast<int>(index)};
    flushInput(handle);
    return handle;
}

bool VirtualHidBus::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    const Interface* interface = liveInterface(handle);
    if (!interface)
        return false;
    attributes->vendorId = interface->vendorId;
    attributes->productId
        = interface->controller ? interface->controller->productId() : interface->productId;
    attributes->versionNumber = 0x0100;
    return true;
}

bool VirtualHidBus::getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                     std::uint32_t bufferLength)
{
    std::size_t textSize = 0;
    return requestString(handle, stringIndex, buffer, bufferLength, &textSize);
}

bool VirtualHidBus::requestString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                  std::uint32_t bufferLength, std::size_t* textSize)
{
    *textSize = 0;
    Interface* interface = liveInterface(handle);
    if (!interface || !interface->controller)
        return false;

    // The device answers with a string descriptor cut to the request's length; the HID stack
    // hands on the text behind its two-byte header and leaves the rest of the buffer alone.
    std::vector<std::uint8_t> descriptor(bufferLength, 0);
    VirtualController& controller = *interface->controller;
    if (!controller.stringRequest(stringIndex, descriptor.data(), bufferLength))
        return false;
    const std::size_t sent
        = bufferLength == 0 ? 0 : std::min<std::size_t>(descriptor[0], bufferLength);
    *textSize = sent > 2 ? sent - 2 : 0;
    std::memcpy(buffer, descriptor.data() + 2, *textSize);

    if (controller.restartRequested()) {
        interface->restarting = true;
        detach(*interface);
    }
    return true;
}

bool VirtualHidBus::writeReport(HidHandle handle, const std::uint8_t* report,
                                std::uint32_t* bytesWritten)
{
    *bytesWritten = 0;
    Interface* interface = liveInterface(handle);
    if (!interface || !interface->controller)
        return false;
    VirtualController& controller = *interface->controller;
    if (controller.mode() != VirtualController::Mode::Bootloader)
        return false;
    m_latency.transferTo(controller, report + 1);
    *bytesWritten = kReportSize;
    return true;
}

bool VirtualHidBus::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                               std::uint32_t timeoutMs)
{
    *bytesRead = 0;
    Interface* interface = liveInterface(handle);
    if (!interface)
        return false;
    std::uint8_t data[kReportDataSize];
    // Foreign devices never send what the updater waits for.
    if (!interface->controller || !m_latency.transferFrom(*interface->controller, data)) {
        waitOutReadTimeout(timeoutMs);
        return false;
    }
    report[0] = 0;
    std::memcpy(report + 1, data, kReportDataSize);
    *bytesRead = kReportSize;
    return true;
}

// The controller keeps one queue of replies for all its handles; the program holds one handle at a
// time, and a reply left in the queue stands for one that came late, before or after a reopen.
bool VirtualHidBus::flushInput(HidHandle handle)
{
    Interface* interface = liveInterface(handle);
    if (!interface)
        return false;
    std::uint8_t data[kReportDataSize];
    while (interface->controller && interface->controller->takeInputReport(data)) { }
    return true;
}

void VirtualHidBus::closeHandle(HidHandle handle)
{
    m_handles.erase(handle);
}

void VirtualHidBus::sleepMs(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool VirtualHidBus::isKeyHeld(HidKey)
{
    // Nothing on this bus plays a keyboard: Shift reads as released.
    return false;
}

bool VirtualHidBus::reachesHardware() const
{
    return false;
}

int VirtualHidBus::entryAtPosition(std::uint32_t position) const
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

int VirtualHidBus::entryOf(const VirtualController& controller) const
{
    for (std::size_t entry = 0; entry < m_interfaces.size(); ++entry) {
        if (m_interfaces[entry]->controller.get() == &controller)
            return static_cast<int>(entry);
    }
    return -1;
}

VirtualHidBus::Interface* VirtualHidBus::liveInterface(HidHandle handle)
{
    const auto found = m_handles.find(handle);
    if (found == m_handles.end())
        return nullptr;
    Interface& interface = *m_interfaces[found->second.entry];
    if (!interface.present() || interface.attachment != found->second.attachment)
        return nullptr;
    return &interface;
}

void VirtualHidBus::detach(Interface& interface)
{
    interface.attachment = m_next_attachment++;
    m_latency.forgetBusyDevice();
}
