#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "HidAccess.h"
#include "LatencyModel.h"
#include "VirtualController.h"

// A HID bus held in memory: foreign interfaces that must never be written, interfaces that cannot
// be opened and virtual controllers, in index order. A controller switched to its bootloader drops
// off the bus and comes back at the next discovery pass, and every report takes the time the
// latency model gives it, so that the program without a vendor image shows a whole update at the
// pace of the real device.
class VirtualHidBus : public HidAccess {
public:
    // An empty bus, no latency.
    VirtualHidBus();
    ~VirtualHidBus() override;

    // The bus, in index order. Entries are appended.
    // Opens and reports its ids; never answers and must never be written.
    void addForeignInterface(std::uint16_t vid, std::uint16_t pid);
    // Owned by the bus; appended now, plugged in.
    VirtualController& addController();
    // Controllers on the bus, plugged or not, in the order they were added.
    int controllerCount() const;
    VirtualController& controller(int n);

    // The program's bus when it carries the stand-in image: two foreign interfaces and one
    // controller in normal mode with firmware 1.16, 1 ms per report and 4 ms per page program.
    static std::unique_ptr<VirtualHidBus> createDemoBus();

    // Every write and read costs `reportMicros`; a page program delays the transfer that follows
    // it by `pageProgramMicros` (applies to present and future controllers).
    void setLatency(std::uint32_t reportMicros, std::uint32_t pageProgramMicros);

    // HidAccess
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

protected:
    // What a handle reaches. `position` is the bus position it was opened at, -1 for a handle the
    // bus does not know; `attached` says whether that interface is still the one it was opened
    // on, and `controller` is its controller then (nullptr for a foreign interface).
    struct Endpoint {
        int position = -1;
        bool attached = false;
        VirtualController* controller = nullptr;
    };
    Endpoint endpointOf(HidHandle handle);

    // openInterface gives INVALID_HID_HANDLE for it.
    void addUnopenableInterface(std::uint16_t vid, std::uint16_t pid);
    // Unplug (its handles die, later indexes shift) or replug at the same position.
    void setPlugged(VirtualController& controller, bool plugged);
    bool isPlugged(const VirtualController& controller) const;
    // Open right now (INVALID_HID_HANDLE is never counted).
    int openHandleCount() const;

    // getIndexedString, telling how many bytes of text it delivered.
    bool requestString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                       std::uint32_t bufferLength, std::size_t* textSize);

    // The longest real wait of a read that gets no reply: the caller's bound, cut to this
    // (kReportReadTimeoutMs by default) so that tests need not wait it out.
    void setReadTimeoutMs(std::uint32_t milliseconds);
    void waitOutReadTimeout(std::uint32_t askedMs);
    LatencyModel& latency();
    const LatencyModel& latency() const;

private:
    struct Interface;
    struct OpenHandle {
        int entry;
        std::uint64_t attachment;
        int position;
    };

    void addInterface(std::unique_ptr<Interface> interface);
    int entryAtPosition(std::uint32_t position) const;
    int entryOf(const VirtualController& controller) const;
    // The interface behind a handle that is still attached, or nullptr.
    Interface* liveInterface(HidHandle handle);
    void detach(Interface& interface);

    std::vector<std::unique_ptr<Interface>> m_interfaces;
    std::map<HidHandle, OpenHandle> m_handles;
    std::uintptr_t m_next_handle = 0x1000;
    std::uint64_t m_next_attachment = 1;

    LatencyModel m_latency;
    std::uint32_t m_page_program_micros = 0;
    std::uint32_t m_read_timeout_ms = kReportReadTimeoutMs;
};
