#pragma once

#include <cstddef>
#include <cstdint>

// The one contract between the updater and a platform's HID stack. The discovery pass, the
// bootloader protocol and the flashing sequence use nothing else to reach a device, so the
// Windows, Linux and virtual-controller implementations are interchangeable at run time.
//
// Every call is synchronous and made on the GUI thread. No implementation takes a lock.

// An open HID interface. On Windows it is the HANDLE that CreateFileW returned.
using HidHandle = void*;

// The value of Windows' INVALID_HANDLE_VALUE: an interface that exists but could not be opened.
extern const HidHandle INVALID_HID_HANDLE;

// Bytes of one report buffer: byte 0 is the report ID (always 0), bytes 1 to 64 the data of an
// unnumbered 64-byte HID report.
constexpr std::size_t kReportSize = 65;
constexpr std::size_t kReportDataSize = 64;

// The longest a read waits for a report. The controller answers a command within a USB frame or
// two (1 ms each at full speed) and programs a 512-byte page in a few milliseconds; even a flash
// part that erases a whole sector first needs well under 100 ms. One second is ten times the worst
// the device can legitimately need, and short enough that a controller that stops answering gives
// the window back within a second instead of holding it for good.
constexpr std::uint32_t kReportReadTimeoutMs = 1000;

// The longest a discovery pass waits for one answer: a reply to its info request, or a string
// request of the bootloader switch. The polling thread asks for a pass every 500 ms, and a pass
// that waits longer than that for a device that never answers keeps the window from everything
// else. A controller polled every 10 ms, the slowest interval a full-speed HID device may ask for,
// answers within about 20 ms, and the whole pass in the emulated machine of the kernel tests takes
// under 40 ms; 200 ms is ten times the first and leaves more than half of every period to the
// window, with a silent device among the HID interfaces.
constexpr std::uint32_t kDiscoveryReplyTimeoutMs = 200;

// Same layout as Windows' GUID.
struct HidGuid {
    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};
};

// Same fields as Windows' HIDD_ATTRIBUTES, less its size field.
struct HidAttributes {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
};

// The keys whose state GetKeyState reports, by their Windows virtual-key codes.
enum class HidKey : std::uint8_t { LeftShift = 0xA0, RightShift = 0xA1 };

class HidAccess {
public:
    virtual ~HidAccess();

    // HidD_GetHidGuid. The discovery pass calls it once at its start: an implementation that
    // enumerates from a snapshot takes the snapshot here, so that all indexes of one pass refer to
    // one list.
    virtual HidGuid getHidGuid() = 0;

    // open_hid_interface: the present HID interface at a zero-based index.
    //  - nullptr: no interface at that index (or the list or its path cannot be had); the
    //    enumeration ends here.
    //  - INVALID_HID_HANDLE: the interface exists but cannot be opened. The caller still closes it.
    //  - anything else: an open handle that the caller owns and closes with closeHandle. Its input
    //    queue starts empty (see flushInput): nothing the device sent before is read through it.
    virtual HidHandle openInterface(const HidGuid& hidClass, std::uint32_t index) = 0;

    // HidD_GetAttributes. False for INVALID_HID_HANDLE.
    virtual bool getAttributes(HidHandle handle, HidAttributes* attributes) = 0;

    // HidD_GetIndexedString: asks the device for string `stringIndex` into `buffer`, which is
    // `bufferLength` bytes long. The length reaches the device as the request's length. Waits at
    // most kDiscoveryReplyTimeoutMs: only the discovery pass asks.
    virtual bool getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                  std::uint32_t bufferLength)
        = 0;

    // WriteFile of exactly kReportSize bytes; `report[0]` is the report ID.
    virtual bool writeReport(HidHandle handle, const std::uint8_t* report,
                             std::uint32_t* bytesWritten)
        = 0;

    // ReadFile of one input report into `report` (kReportSize bytes, report[0] set to 0). Waits at
    // most `timeoutMs`. Succeeds only when a whole report arrived; on failure `report` is left
    // exactly as it was, so no stale or partial bytes are ever taken for a reply.
    virtual bool readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                            std::uint32_t timeoutMs)
        = 0;

    // HidD_FlushQueue: drops every input report waiting on the handle, at once and without waiting
    // for another. A reply that came after its read gave up waits there and would be taken for the
    // answer to the next command. False for a handle that is not open.
    virtual bool flushInput(HidHandle handle) = 0;

    // CloseHandle. Accepts INVALID_HID_HANDLE and does nothing for it.
    virtual void closeHandle(HidHandle handle) = 0;

    // Sleep on the calling thread.
    virtual void sleepMs(std::uint32_t milliseconds) = 0;

    // GetKeyState(key) & 0x8000.
    virtual bool isKeyHeld(HidKey key) = 0;

    // True when reports written through this object can reach a physical controller. The
    // updater never sends a stand-in firmware image through such an object.
    virtual bool reachesHardware() const = 0;
};
