#pragma once

#include "VirtualHidAccess.h"

#include <functional>

// A virtual bus that calls back at the start of every discovery pass and after every report
// write, so that a scenario can act while the GUI thread is inside a pass or a flashing run.
class HookedBus : public VirtualHidAccess {
public:
    std::function<void(int pass)> onPassStart;
    std::function<void(int write)> onWrite;

    HidGuid getHidGuid() override;
    bool writeReport(HidHandle handle, const std::uint8_t* report,
                     std::uint32_t* bytesWritten) override;

    int passCount() const { return m_passes; }
    int writesSeen() const { return m_writes; }

private:
    int m_passes = 0;
    int m_writes = 0;
};
