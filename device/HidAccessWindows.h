#pragma once

#include "HidAccess.h"

#include <windows.h>

// The present HID interface at a zero-based index of a fresh SetupAPI list: null when there is
// none (or its list or path cannot be had), INVALID_HANDLE_VALUE when it exists but cannot be
// opened, otherwise an open handle that the caller owns.
HANDLE open_hid_interface(const GUID& hidClass, DWORD index);

// HidAccess over SetupAPI, the HID library and the kernel's file I/O.
class HidAccessWindows final : public HidAccess {
public:
    HidAccessWindows();
    ~HidAccessWindows() override;

    HidAccessWindows(const HidAccessWindows&) = delete;
    HidAccessWindows& operator=(const HidAccessWindows&) = delete;

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
    bool isKeyHeld(HidKey key) override;
    bool reachesHardware() const override;

private:
    bool transferReport(HANDLE handle, bool isWrite, void* report, DWORD timeoutMs,
                        DWORD* transferred);

    // Signals the completion of the one transfer in flight; every call runs on the GUI thread.
    HANDLE m_io_event = nullptr;
};
