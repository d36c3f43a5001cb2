#pragma once

#include "BusRig.h"
#include "TimedBus.h"

#include <QStringList>

#include <cstdint>

// One updater window on a timed virtual bus with one controller in its bootloader, kept for many
// cases in a row as the program keeps it for many updates.
class FaultRig : public BusRig<TimedBus> {
public:
    // What the window shows, with the progress bar that some rows of its state table pin.
    struct View {
        WindowState state;
        bool progressShown;
        int progressValue;
        int progressMaximum;
    };

    explicit FaultRig(std::uint32_t readTimeoutMs);

    // Unplugs the controller, lets a pass see it gone, installs `version` (0xFFFF: blank), plugs
    // it back and lets a pass find it. Faults, keys, counters, the trace and the update threads of
    // earlier cases start afresh.
    void startClean(std::uint16_t installedVersion);

    View view() const;
    // The rows of the window's state table that `view` fits.
    static QStringList matchingStates(const View& view);
    static QString describe(const View& view);

    VirtualController* controller = nullptr;
};
