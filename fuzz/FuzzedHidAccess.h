#pragma once

#include "HidAccess.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

class FuzzedDataProvider;

// A HID stack whose every result comes from the fuzz input: which interfaces exist and open, their
// ids, whether each string request, write and read succeeds, and what each reply holds. The input
// opens with a schedule of deviations, each at a numbered call; every other call gets the
// well-behaved answer (the interface opens, is the bootloader, the transfer succeeds, the reply is
// the one a controller gives). The contents of odd answers (ids, versions, reply bytes) come from
// the rest of the input; input that runs out reads as zeros.
//
// It keeps its own record of what it told the window: the version of the last whole info reply
// and whether each page's checksum reply matched the table, and it aborts on any misuse of a
// handle. The fuzz target holds the window to that record.
class FuzzedHidAccess : public HidAccess {
public:
    // A new input: nothing written yet.
    void setInput(FuzzedDataProvider* input);
    // The next pass finds no interface at all.
    void setEmpty(bool empty);

    // Forget which pages were verified: a new run begins.
    void beginRun();
    bool everyPageMatchedThisRun() const;
    // The version the window must hold: from the last whole reply to CMD_GET_INFO.
    std::uint32_t expectedVersion() const { return m_expected_version; }
    void setExpectedVersion(std::uint32_t version) { m_expected_version = version; }
    int openHandleCount() const { return static_cast<int>(m_open.size()); }

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
    // The answer to the next call: 0, the well-behaved one, unless a deviation is scheduled.
    int choose(int choices);
    void requireOpen(HidHandle handle) const;

    FuzzedDataProvider* m_input = nullptr;
    std::map<std::uint32_t, std::uint8_t> m_deviations;
    std::uint32_t m_calls = 0;
    bool m_empty = false;
    std::set<HidHandle> m_open;
    std::uintptr_t m_next_handle = 0x1000;

    // The command of the last successful write, which the next reply answers; 0 for none.
    std::uint8_t m_last_command = 0;
    std::uint32_t m_last_address = 0;

    std::uint32_t m_expected_version = 0;
    std::vector<bool> m_page_matched;
};
