#pragma once

#include "HidAccess.h"

#include <cstdint>
#include <set>
#include <string>
#include <vector>

struct hid_device_info;

// HID access on Linux: hidapi's hidraw backend for enumeration and reports, and libusb for the
// string requests of the bootloader switch, which hidraw cannot make with a chosen length.
//
// Only vendor 0x0079 is enumerated, so no other device on the machine is ever opened. Of that
// vendor only the two controller identities are opened; any other product counts as present but
// unopenable.
class HidAccessLinux : public HidAccess {
public:
    // Where a USB device sits on its bus, as sysfs and libusb name it.
    struct UsbLocation {
        std::uint8_t busNumber = 0;
        std::uint8_t deviceAddress = 0;
    };

    HidAccessLinux();
    ~HidAccessLinux() override;

    HidAccessLinux(const HidAccessLinux&) = delete;
    HidAccessLinux& operator=(const HidAccessLinux&) = delete;

    HidGuid getHidGuid() override;
    HidHandle openInterface(const HidGuid& hidClass, std::uint32_t index) override;
    bool getAttributes(HidHandle handle, HidAttributes* attributes) override;
    bool getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                          std::uint32_t bufferLength) override;
    bool writeReport(HidHandle handle, const std::uint8_t* report,
                     std::uint32_t* bytesWritten) override;
    bool readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                    std::uint32_t timeoutMs) override;
    bool flushInput(HidHandle handle) override;
    void closeHandle(HidHandle handle) override;
    void sleepMs(std::uint32_t milliseconds) override;
    // Qt reports only that some Shift key is held, not which one: a held Shift answers for the
    // left key and the right key is never reported, so the caller's "left, else right" still
    // sees any Shift exactly once.
    bool isKeyHeld(HidKey key) override;
    bool reachesHardware() const override;

    // The USB device behind the hidraw node `hidrawPath` (/dev/hidrawN), read from the sysfs tree
    // mounted at `sysfsRoot`: the nearest ancestor of the node's device that has a bus number and
    // a device address. False for a node that is not on USB (uhid, Bluetooth) or does not exist.
    static bool usbLocationOfHidraw(const std::string& sysfsRoot, const std::string& hidrawPath,
                                    UsbLocation* location);

    // The one line written when a controller's device node cannot be opened for lack of
    // permission.
    static std::string permissionNotice(const std::string& deviceNode);

private:
    struct OpenInterface;

    void takeSnapshot();
    OpenInterface* openInterfaceFromHandle(HidHandle handle) const;
    void noteOpenFailure(const std::string& deviceNode);

    hid_device_info* m_snapshot = nullptr;
    std::vector<const hid_device_info*> m_snapshot_entries;
    bool m_snapshot_taken = false;
    std::set<OpenInterface*> m_open_interfaces;
    bool m_permission_notice_given = false;
};
