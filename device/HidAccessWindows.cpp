#include "HidAccessWindows.h"

#include "PlatformHidAccess.h"

#include <setupapi.h>
#include <winioctl.h>

// The MinGW header declares the HID library without C linkage.
extern "C" {
#include <hidsdi.h>
}

#include <array>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace {

using DeviceInfoList
    = std::unique_ptr<std::remove_pointer_t<HDEVINFO>, decltype(&SetupDiDestroyDeviceInfoList)>;

GUID toWindowsGuid(const HidGuid& guid)
{
    GUID result;
    result.Data1 = guid.data1;
    result.Data2 = guid.data2;
    result.Data3 = guid.data3;
    std::memcpy(result.Data4, guid.data4, sizeof(result.Data4));
    return result;
}

// The HID class driver queues 32 input reports per handle by default, at most 512.
constexpr int kMostReportsFlushed = 512;

// What HidD_GetIndexedString sends the HID class driver (hidclass.h, which MinGW's headers lack):
// CTL_CODE(FILE_DEVICE_KEYBOARD, 120, METHOD_OUT_DIRECT, FILE_ANY_ACCESS), with the string index
// as its input.
constexpr DWORD kIoctlHidGetIndexedString
    = CTL_CODE(FILE_DEVICE_KEYBOARD, 120, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);

bool isOpenHandle(HidHandle handle)
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// Waits at most `timeoutMs` for the overlapped operation that `started` reports on, then cancels
// it and waits for the cancel, so that no I/O is left in flight on the caller's buffer.
bool awaitOverlapped(HANDLE handle, BOOL started, OVERLAPPED* overlapped, DWORD timeoutMs,
                     DWORD* transferred)
{
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return false;
    if (WaitForSingleObject(overlapped->hEvent, timeoutMs) != WAIT_OBJECT_0) {
        CancelIoEx(handle, overlapped);
        // An operation that completed just before the cancel still counts.
        return GetOverlappedResult(handle, overlapped, transferred, TRUE) != FALSE;
    }
    return GetOverlappedResult(handle, overlapped, transferred, FALSE) != FALSE;
}

} // namespace

HANDLE open_hid_interface(const GUID& hidClass, DWORD index)
{
    // A fresh list per call: an index counts positions among the interfaces present right now.
    const HDEVINFO classList
        = SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (classList == INVALID_HANDLE_VALUE)
        return nullptr;
    // Destroyed on every way out, the early returns included.
    const DeviceInfoList list(classList, &SetupDiDestroyDeviceInfoList);

    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    if (!SetupDiEnumDeviceInterfaces(list.get(), nullptr, &hidClass, index, &interfaceData))
        return nullptr;

    DWORD requiredSize = 0;
    SetupDiGetDeviceInterfaceDetailW(list.get(), &interfaceData, nullptr, 0, &requiredSize,
                                     nullptr);
    // A size that cannot even hold the fixed header means the query itself failed; treat the
    // path as unobtainable rather than allocate nothing and write cbSize past the end.
    if (requiredSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return nullptr;

    std::vector<BYTE> detailBuffer(requiredSize);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
    // The fixed size of the structure, not the size of the buffer: SetupAPI checks it as a version.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(list.get(), &interfaceData, detail, requiredSize, nullptr,
                                          nullptr))
        return nullptr;

    // Overlapped, so that reads and string requests can give up on a silent device (see
    // awaitOverlapped). The other HidD_ calls stay synchronous on such a handle: the HID class
    // driver answers them from what it holds, without asking the device.
    return CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
}

HidAccessWindows::HidAccessWindows()
    : m_io_event(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

HidAccessWindows::~HidAccessWindows()
{
    if (m_io_event != nullptr)
        CloseHandle(m_io_event);
}

HidGuid HidAccessWindows::getHidGuid()
{
    GUID guid;
    HidD_GetHidGuid(&guid);
    HidGuid result;
    result.data1 = guid.Data1;
    result.data2 = guid.Data2;
    result.data3 = guid.Data3;
    std::memcpy(result.data4, guid.Data4, sizeof(result.data4));
    return result;
}

HidHandle HidAccessWindows::openInterface(const HidGuid& hidClass, std::uint32_t index)
{
    const HANDLE handle = open_hid_interface(toWindowsGuid(hidClass), index);
    // The HID class driver queues input reports per handle from the moment it is opened; a reply
    // the controller sends late to a command of an earlier handle can already be waiting.
    if (isOpenHandle(handle))
        flushInput(handle);
    return handle;
}

bool HidAccessWindows::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    // INVALID_HANDLE_VALUE doubles as the current-process pseudo handle; never pass it on.
    if (!isOpenHandle(handle))
        return false;
    HIDD_ATTRIBUTES windowsAttributes = {};
    windowsAttributes.Size = sizeof(windowsAttributes);
    if (!HidD_GetAttributes(handle, &windowsAttributes))
        return false;
    attributes->vendorId = windowsAttributes.VendorID;
    attributes->productId = windowsAttributes.ProductID;
    attributes->versionNumber = windowsAttributes.VersionNumber;
    return true;
}

bool HidAccessWindows::getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                                        std::uint32_t bufferLength)
{
    // The request HidD_GetIndexedString makes, overlapped: it waits for the device, and
    // HidD_GetIndexedString itself would wait for a device that never answers for good.
    if (!isOpenHandle(handle) || m_io_event == nullptr)
        return false;
    ULONG index = stringIndex;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_io_event;
    DWORD transferred = 0;
    const BOOL started = DeviceIoControl(handle, kIoctlHidGetIndexedString, &index, sizeof index,
                                         buffer, bufferLength, nullptr, &overlapped);
    return awaitOverlapped(handle, started, &overlapped, kDiscoveryReplyTimeoutMs, &transferred);
}

bool HidAccessWindows::writeReport(HidHandle handle, const std::uint8_t* report,
                                   std::uint32_t* bytesWritten)
{
    DWORD transferred = 0;
    // WriteFile does not modify the buffer; the cast only satisfies the shared helper.
    if (!transferReport(handle, true, const_cast<std::uint8_t*>(report), kReportReadTimeoutMs,
                        &transferred))
        return false;
    *bytesWritten = transferred;
    return true;
}

bool HidAccessWindows::readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                                  std::uint32_t timeoutMs)
{
    // Received into a private buffer: a read that is cancelled, fails or comes up short never
    // touches the caller's report.
    std::array<std::uint8_t, kReportSize> received = {};
    DWORD transferred = 0;
    if (!transferReport(handle, false, received.data(), timeoutMs, &transferred)
        || transferred != kReportSize)
        return false;
    std::memcpy(report, received.data(), kReportSize);
    *bytesRead = transferred;
    return true;
}

// One 65-byte report, overlapped but waited for here, so the caller still sees a blocking call.
// A silent controller would otherwise hold a blocking ReadFile, and with it the GUI thread, for
// good. Writes are bounded too: a device that stops taking output reports must not hang the
// window either.
bool HidAccessWindows::transferReport(HANDLE handle, bool isWrite, void* report, DWORD timeoutMs,
                                      DWORD* transferred)
{
    if (!isOpenHandle(handle) || m_io_event == nullptr)
        return false;

    OVERLAPPED overlapped = {};
    overlapped.hEvent = m_io_event;
    const BOOL started
        = isWrite ? WriteFile(handle, report, static_cast<DWORD>(kReportSize), nullptr, &overlapped)
                  : ReadFile(handle, report, static_cast<DWORD>(kReportSize), nullptr, &overlapped);
    return awaitOverlapped(handle, started, &overlapped, timeoutMs, transferred);
}

bool HidAccessWindows::flushInput(HidHandle handle)
{
    if (!isOpenHandle(handle))
        return false;
    if (HidD_FlushQueue(handle))
        return true;
    // wine's HID class driver answers the flush request with ERROR_NOT_SUPPORTED; take what is
    // queued instead, one report at a time, never waiting for one.
    for (int taken = 0; taken < kMostReportsFlushed; ++taken) {
        std::array<std::uint8_t, kReportSize> report;
        OVERLAPPED overlapped = {};
        overlapped.hEvent = m_io_event;
        const BOOL done = ReadFile(handle, report.data(), static_cast<DWORD>(report.size()),
                                   nullptr, &overlapped);
        if (!done && GetLastError() != ERROR_IO_PENDING)
            return false;
        DWORD transferred = 0;
        if (!done && WaitForSingleObject(m_io_event, 0) != WAIT_OBJECT_0) {
            CancelIoEx(handle, &overlapped);
            // Nothing was queued, unless a report came in just before the cancel.
            if (!GetOverlappedResult(handle, &overlapped, &transferred, TRUE))
                return true;
        }
    }
    return true;
}

void HidAccessWindows::closeHandle(HidHandle handle)
{
    if (isOpenHandle(handle))
        CloseHandle(handle);
}

void HidAccessWindows::sleepMs(std::uint32_t milliseconds)
{
    Sleep(milliseconds);
}

bool HidAccessWindows::isKeyHeld(HidKey key)
{
    return (GetKeyState(static_cast<int>(key)) & 0x8000) != 0;
}

bool HidAccessWindows::reachesHardware() const
{
    return true;
}

std::unique_ptr<HidAccess> createPlatformHidAccess()
{
    return std::make_unique<HidAccessWindows>();
}
