#pragma once

#include "HidAccess.h"
#include "LatencyModel.h"
#include "VirtualController.h"

#include <chrono>
#include <cstdint>

// A HID bus for measuring the program rather than a test harness: `foreignCount` foreign
// interfaces, then one virtual controller. Opening an index costs the same wherever it is, nothing
// is recorded, nothing sleeps, and every call into the controller model is timed and its
// allocations are counted apart, so that what is left is the window's own cost.
class LeanHidBus : public HidAccess {
public:
    explicit LeanHidBus(int foreignCount = 0);
    ~LeanHidBus() override;

    VirtualController& controller() { return m_controller; }

    // The virtual bus's latency model: every write and read to the controller takes
    // `reportMicros` of real time, and a page program delays what follows it by
    // `pageProgramMicros`. Zero (the default) waits for nothing.
    void setLatency(std::uint32_t reportMicros, std::uint32_t pageProgramMicros);
    // Wall time measured inside those waits.
    std::chrono::nanoseconds modelledDelay() const
    {
        return std::chrono::nanoseconds(m_latency.modelledDelayNanos());
    }

    int foreignOpens() const { return m_foreign_opens; }
    int controllerOpens() const { return m_controller_opens; }
    int foreignTransfers() const { return m_foreign_transfers; }
    int openHandles() const { return m_open_handles; }
    // Wall time spent inside the controller model.
    std::chrono::nanoseconds deviceTime() const { return m_device_time; }

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
    // -1 for the controller, the foreign interface's index otherwise, -2 for no handle of ours.
    int interfaceOf(HidHandle handle) const;

    int m_foreign_count;
    VirtualController m_controller;
    int m_foreign_opens = 0;
    int m_controller_opens = 0;
    int m_foreign_transfers = 0;
    int m_open_handles = 0;
    std::chrono::nanoseconds m_device_time{0};
    LatencyModel m_latency;
};
