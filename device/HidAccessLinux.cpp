#include "HidAccessLinux.h"

#include "BootloaderProtocol.h"
#include "PlatformHidAccess.h"

#include <QGuiApplication>

#include <hidapi.h>
#include <libusb.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// The value Windows gives the HID class; nothing on Linux reads it.
constexpr HidGuid g_hid_class_guid
    = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

constexpr std::uint16_t g_us_english = 0x0409;
// hidraw keeps at most 64 reports per open file; the margin covers a device that sends more while
// they are taken, without letting one that never stops hold the caller.
constexpr int g_most_reports_flushed = 256;

// Takes what the kernel has queued for this file, never waiting for more.
void drainInput(hid_device* device)
{
    std::uint8_t report[kReportDataSize];
    for (int taken = 0; taken < g_most_reports_flushed; ++taken) {
        if (hid_read_timeout(device, report, sizeof report, 0) <= 0)
            return;
    }
}

bool isControllerIdentity(std::uint16_t vendorId, std::uint16_t productId)
{
    return vendorId == CONTROLLER_VID
        && (productId == PID_NORMAL_MODE || productId == PID_BOOTLOADER_MODE);
}

bool readSysfsNumber(const std::filesystem::path& file, unsigned long* value)
{
    std::ifstream in(file);
    unsigned long number = 0;
    if (!(in >> number))
        return false;
    *value = number;
    return true;
}

std::string usbDeviceNode(const HidAccessLinux::UsbLocation& location)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", unsigned(location.busNumber),
                  unsigned(location.deviceAddress));
    return node;
}

} // namespace

struct HidAccessLinux::OpenInterface {
    hid_device* device = nullptr;
    std::string path;
    HidAttributes attributes;
};

HidAccessLinux::HidAccessLinux() = default;

HidAccessLinux::~HidAccessLinux()
{
    for (OpenInterface* open : m_open_interfaces) {
        hid_close(open->device);
        delete open;
    }
    hid_free_enumeration(m_snapshot);
    hid_exit();
}

HidGuid HidAccessLinux::getHidGuid()
{
    takeSnapshot();
    return g_hid_class_guid;
}

void HidAccessLinux::takeSnapshot()
{
    hid_free_enumeration(m_snapshot);
    m_snapshot_entries.clear();
    m_snapshot = hid_enumerate(CONTROLLER_VID, 0);
    for (const hid_device_info* entry = m_snapshot; entry; entry = entry->next)
        m_snapshot_entries.push_back(entry);
    m_snapshot_taken = true;
}

HidHandle HidAccessLinux::openInterface(const HidGuid&, std::uint32_t index)
{
    if (!m_snapshot_taken)
        takeSnapshot();
    if (index >= m_snapshot_entries.size())
        return nullptr;
    const hid_device_info* entry = m_snapshot_entries[index];
    if (!entry->path)
        return nullptr;
    if (!isControllerIdentity(entry->vendor_id, entry->product_id))
        return INVALID_HID_HANDLE;

    hid_device* device = hid_open_path(entry->path);
    if (!device) {
        noteOpenFailure(entry->path);
        return INVALID_HID_HANDLE;
    }
    drainInput(device);
    auto* open = new OpenInterface;
    open->device = device;
    open->path = entry->path;
    open->attributes.vendorId = entry->vendor_id;
    open->attributes.productId = entry->product_id;
    open->attributes.versionNumber = entry->release_number;
    m_open_interfaces.insert(open);
    return open;
}

HidAccessLinux::OpenInterface* HidAccessLinux::openInterfaceFromHandle(HidHandle handle) const
{
    auto* open = static_cast<OpenInterface*>(handle);
    return m_open_interfaces.count(open) ? open : nullptr;
}

bool HidAccessLinux::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    const OpenInterface* open = openInterfaceFromHandle(handle);
    if (!open || !attributes)
        return false;
    *attributes = open->attributes;
    return true;
}

bool HidAccessLinux::getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                      std::uint32_t bufferLength)
{
    const OpenInterface* open = openInterfaceFromHandle(handle);
    if (!open || stringIndex > 0xFF || bufferLength > 0xFFFF || (!buffer && bufferLength))
        return false;
    UsbLocation location;
    if (!usbLocationOfHidraw("/sys", open->path, &location))
        return false;

    // A fresh context for every request: one made before the controller re-enumerated would not
    // see it unless a udev daemon feeds libusb's hotplug.
    libusb_context* context = nullptr;
    if (libusb_init(&context) != LIBUSB_SUCCESS)
        return false;
    libusb_device** devices = nullptr;
    const ssize_t count = libusb_get_device_list(context, &devices);
    libusb_device_handle* usb = nullptr;
    int opened = LIBUSB_ERROR_NOT_FOUND;
    for (ssize_t i = 0; i < count; ++i) {
        if (libusb_get_bus_number(devices[i]) == location.busNumber
            && libusb_get_device_address(devices[i]) == location.deviceAddress) {
            opened = libusb_open(devices[i], &usb);
            break;
        }
    }
    if (count >= 0)
        libusb_free_device_list(devices, 1);

    // No interface is claimed: usbhid stays bound, and a standard request to the device needs
    // none.
    // The device answers with a string descriptor; Windows' HID stack hands on only the text
    // behind its two-byte header and leaves the rest of the buffer alone, and so does this.
    int transferred = LIBUSB_ERROR_IO;
    if (opened == LIBUSB_SUCCESS) {
        std::vector<unsigned char> descriptor(bufferLength);
        transferred = libusb_control_transfer(
            usb, LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_STANDARD | LIBUSB_RECIPIENT_DEVICE,
            LIBUSB_REQUEST_GET_DESCRIPTOR,
            static_cast<std::uint16_t>((LIBUSB_DT_STRING << 8) | stringIndex), g_us_english,
            descriptor.data(), static_cast<std::uint16_t>(bufferLength), kDiscoveryReplyTimeoutMs);
        if (transferred > 2)
            std::memcpy(buffer, descriptor.data() + 2, static_cast<std::size_t>(transferred) - 2);
        libusb_close(usb);
    } else if (opened == LIBUSB_ERROR_ACCESS) {
        noteOpenFailure(usbDeviceNode(location));
    }
    libusb_exit(context);
    return transferred >= 0;
}

bool HidAccessLinux::writeReport(HidHandle handle, const std::uint8_t* report,
                                 std::uint32_t* bytesWritten)
{
    OpenInterface* open = openInterfaceFromHandle(handle);
    if (!open || !report)
        return false;
    const int written = hid_write(open->device, report, kReportSize);
    if (written < 0)
        return false;
    if (bytesWritten)
        *bytesWritten = static_cast<std::uint32_t>(written);
    return true;
}

bool HidAccessLinux::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                                std::uint32_t timeoutMs)
{
    OpenInterface* open = openInterfaceFromHandle(handle);
    if (!open || !report)
        return false;
    // hidraw hands over an unnumbered report without its ID byte, so it lands after byte 0; the
    // caller's buffer is touched only once a whole report is in.
    std::uint8_t received[kReportSize] = {};
    const int count = hid_read_timeout(open->device, received + 1, kReportDataSize,
                                       static_cast<int>(timeoutMs));
    if (count != static_cast<int>(kReportDataSize))
        return false;
    std::memcpy(report, received, kReportSize);
    if (bytesRead)
        *bytesRead = static_cast<std::uint32_t>(kReportSize);
    return true;
}

bool HidAccessLinux::flushInput(HidHandle handle)
{
    OpenInterface* open = openInterfaceFromHandle(handle);
    if (!open)
        return false;
    drainInput(open->device);
    return true;
}

void HidAccessLinux::closeHandle(HidHandle handle)
{
    OpenInterface* open = openInterfaceFromHandle(handle);
    if (!open)
        return;
    m_open_interfaces.erase(open);
    hid_close(open->device);
    delete open;
}

void HidAccessLinux::sleepMs(std::uint32_t milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool HidAccessLinux::isKeyHeld(HidKey key)
{
    if (key != HidKey::LeftShift || !qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        return false;
    // Asks the window system now rather than trusting the last key event: on X11 this reaches the
    // server, on Wayland it is the state the compositor sent with the window's keyboard focus.
    return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ShiftModifier);
}

bool HidAccessLinux::reachesHardware() const
{
    return true;
}

bool HidAccessLinux::usbLocationOfHidraw(const std::string& sysfsRoot,
                                         const std::string& hidrawPath, UsbLocation* location)
{
    namespace fs = std::filesystem;
    const std::string prefix = "/dev/";
    if (hidrawPath.compare(0, prefix.size(), prefix) != 0 || !location)
        return false;
    const fs::path node = fs::path(hidrawPath).filename();
    if (node.string().rfind("hidraw", 0) != 0)
        return false;

    std::error_code error;
    const fs::path root = fs::canonical(sysfsRoot, error);
    if (error)
        return false;
    fs::path device = fs::canonical(root / "class" / "hidraw" / node / "device", error);
    if (error)
        return false;
    // hidrawN/device is the HID device; above it the USB interface, then the USB device, which
    // alone carries busnum and devnum (the root hub above it carries them too, but comes later).
    for (; device != root && device.has_relative_path(); device = device.parent_path()) {
        unsigned long bus = 0;
        unsigned long address = 0;
        if (readSysfsNumber(device / "busnum", &bus)
            && readSysfsNumber(device / "devnum", &address)) {
            if (bus == 0 || bus > 0xFF || address == 0 || address > 0xFF)
                return false;
            location->busNumber = static_cast<std::uint8_t>(bus);
            location->deviceAddress = static_cast<std::uint8_t>(address);
            return true;
        }
    }
    return false;
}

std::string HidAccessLinux::permissionNotice(const std::string& deviceNode)
{
    return "lumaro-updater: no permission to open the controller at " + deviceNode
         + "; install packaging/60-lumaro-updater.rules into /etc/udev/rules.d/, run"
           " 'udevadm control --reload' and plug the controller in again";
}

void HidAccessLinux::noteOpenFailure(const std::string& deviceNode)
{
    // Polling retries twice a second; saying it once is enough.
    if (m_permission_notice_given)
        return;
    if (access(deviceNode.c_str(), R_OK | W_OK) == 0 || (errno != EACCES && errno != EPERM))
        return;
    m_permission_notice_given = true;
    std::fprintf(stderr, "%s\n", permissionNotice(deviceNode).c_str());
}

std::unique_ptr<HidAccess> createPlatformHidAccess()
{
    return std::make_unique<HidAccessLinux>();
}
