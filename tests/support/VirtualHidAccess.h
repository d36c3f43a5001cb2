#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "VirtualHidBus.h"

// The virtual bus as tests and benchmarks drive it: on top of the simulator's bus it counts every
// handle, records every transfer, holds keys, optionally skips real sleeps, and injects faults at
// chosen transfer numbers, so that the discovery pass and the flashing sequence can be tested and
// measured without hardware.
class VirtualHidAccess : public VirtualHidBus {
public:
    // An empty bus, no latency, real sleeps.
    VirtualHidAccess();
    ~VirtualHidAccess() override;

    using VirtualHidBus::addUnopenableInterface;
    // Opens, but its attribute query fails (a device that leaves between the two, or a driver
    // that refuses the query); the handle is open all the same. Known by its ids, which no other
    // interface on the bus may share.
    void addAttributelessInterface(std::uint16_t vid, std::uint16_t pid);
    using VirtualHidBus::isPlugged;
    using VirtualHidBus::setPlugged;

    // Keys
    void setKeyHeld(HidKey key, bool held) { m_keys_held[key] = held; }
    int keyQueries(HidKey key) const;

    // Time (see also setLatency).
    using VirtualHidBus::setReadTimeoutMs;
    // Whether sleepMs really sleeps; true by default. sleptMs() adds up the requests either way.
    void setRealSleeps(bool real) { m_real_sleeps = real; }
    std::uint64_t sleptMs() const { return m_slept_ms; }
    // Wall time measured inside the modelled waits: report latency, page programs and read
    // timeouts. Wall time of a run less this is what the program itself spent.
    std::uint64_t modelledDelayNanos() const { return latency().modelledDelayNanos(); }

    // Faults, numbered from 1 over the transfers since the last clearTrace(): writes and reads
    // together are "transfers", writes alone "writes", reads alone "reads"; string requests are
    // counted on their own. Each fault fires once.
    // The n-th write fails; nothing reaches the device.
    void failWrite(int n) { m_faults.push_back({FaultKind::FailWrite, n, {}}); }
    // The n-th read fails at once; a queued reply stays queued.
    void failRead(int n) { m_faults.push_back({FaultKind::FailRead, n, {}}); }
    // The n-th read waits the read timeout and fails; the queued reply, if any, is lost.
    void neverAnswerRead(int n) { m_faults.push_back({FaultKind::NeverAnswer, n, {}}); }
    // The n-th read waits the read timeout and fails, and its reply comes after all: it stays
    // queued, first in line for whatever reads next, on this handle or one opened later.
    void answerLate(int n) { m_faults.push_back({FaultKind::AnswerLate, n, {}}); }
    // The controller addressed by transfer n leaves the bus; that transfer fails. setPlugged
    // brings it back.
    void unplugAtTransfer(int n) { m_faults.push_back({FaultKind::Unplug, n, {}}); }
    // The n-th read gets these bytes in place of the queued reply (which is consumed). Exactly 64
    // bytes are taken as the reply; any other length is a failed read that leaves the buffer
    // untouched.
    void garbageReply(int n, std::vector<std::uint8_t> bytes)
    {
        m_faults.push_back({FaultKind::Garbage, n, std::move(bytes)});
    }
    // The n-th string request fails without reaching the device.
    void failStringRequest(int n) { m_faults.push_back({FaultKind::FailString, n, {}}); }
    void clearFaults() { m_faults.clear(); }

    // Everything that crossed the bus, in order. `index` is the string index of a StringRequest
    // and the bus position of the interface otherwise (for Read, Write and Close the position it
    // had when opened; -1 for a handle the bus does not know). `bytes` are the 65 bytes the
    // caller wrote (even when the write failed), the 65 bytes a read delivered (empty when it
    // failed), or the text a string request delivered. `length` is the string request's length,
    // or the number of bytes transferred.
    struct Transfer {
        enum Kind { Write, Read, StringRequest, Open, Close } kind;
        std::vector<std::uint8_t> bytes;
        bool ok;
        std::uint32_t length;
        int index;
    };
    const std::vector<Transfer>& trace() const { return m_trace; }
    // The 65-byte buffers of the successful writes, in order.
    std::vector<std::vector<std::uint8_t>> writtenReports() const;
    // Since the last clearTrace(), successful or not.
    int writeCount() const { return m_write_number; }
    int readCount() const { return m_read_number; }
    int stringRequestCount() const { return m_string_request_number; }
    // Empties the trace and restarts the transfer numbering; the handle counters stay.
    void clearTrace();

    // Handles
    using VirtualHidBus::openHandleCount;
    // Opens of interfaces that are not a controller.
    int foreignOpenCount() const { return m_foreign_open_count; }
    // Writes, reads and string requests to a non-controller: must stay 0.
    int foreignWriteCount() const { return m_foreign_write_count; }

    // HidAccess
    HidHandle openInterface(const HidGuid& hidClass, std::uint32_t index) override;
    bool getAttributes(HidHandle handle, HidAttributes* attributes) override;
    bool getIndexedString(HidHandle handle, std::uint32_t stringIndex, void* buffer,
                          std::uint32_t bufferLength) override;
    bool writeReport(HidHandle handle, const std::uint8_t* report,
                     std::uint32_t* bytesWritten) override;
    bool readReport(HidHandle handle, std::uint8_t* report, std::uint32_t* bytesRead,
                    std::uint32_t timeoutMs) override;
    void closeHandle(HidHandle handle) override;
    void sleepMs(std::uint32_t milliseconds) override;
    bool isKeyHeld(HidKey key) override;

private:
    enum class FaultKind {
        FailWrite,
        FailRead,
        NeverAnswer,
        AnswerLate,
        Unplug,
        Garbage,
        FailString
    };
    struct Fault {
        FaultKind kind;
        int number;
        std::vector<std::uint8_t> bytes;
    };

    bool takeFault(FaultKind kind, int number, std::vector<std::uint8_t>* bytes = nullptr);
    void record(Transfer::Kind kind, const std::uint8_t* bytes, std::size_t size, bool ok,
                std::uint32_t length, int index);

    std::set<std::pair<std::uint16_t, std::uint16_t>> m_attributeless;
    std::map<HidKey, bool> m_keys_held;
    std::map<HidKey, int> m_key_queries;

    bool m_real_sleeps = true;
    std::uint64_t m_slept_ms = 0;

    std::vector<Fault> m_faults;
    std::vector<Transfer> m_trace;
    int m_transfer_number = 0;
    int m_write_number = 0;
    int m_read_number = 0;
    int m_string_request_number = 0;

    int m_foreign_open_count = 0;
    int m_foreign_write_count = 0;
};
