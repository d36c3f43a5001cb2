#pragma once

#include "ProbedWidget.h"
#include "TimedBus.h"

#include <QStringList>

#include <chrono>
#include <cstdint>
#include <memory>

class QProgressBar;
class QPushButton;

// One updater window on a timed virtual bus with one controller in its bootloader, kept for many
// cases in a row as the program keeps it for many updates. The polling thread is stopped so that
// the test decides when a discovery pass runs; sleeps are recorded, not slept.
class FaultRig {
public:
    // What the window shows, in the terms of its state table.
    struct View {
        bool controllerPicture;
        bool updateShown;
        bool progressShown;
        int progressValue;
        int progressMaximum;
        bool finishShown;
        bool updateFinished;
    };

    explicit FaultRig(std::uint32_t readTimeoutMs);
    ~FaultRig();

    // Unplugs the controller, lets a pass see it gone, installs `version` (0xFFFF: blank), plugs
    // it back and lets a pass find it. Faults, keys, counters and the trace start afresh.
    void startClean(std::uint16_t installedVersion);

    bool pass();
    // A press of Update followed through to the end of the flashing slot it leads to. Returns how
    // long the window's queued calls held the GUI thread.
    std::chrono::nanoseconds clickUpdateAndFlash();
    // Waits for every update thread started so far and runs the flashing slots they asked for, in
    // order; returns how long that held the GUI thread.
    std::chrono::nanoseconds deliverRuns();

    View view() const;
    // The rows of the window's state table that `view` fits.
    static QStringList matchingStates(const View& view);
    static QString describe(const View& view);

    QPushButton* updateButton() const;
    QPushButton* finish() const;
    QProgressBar* progress() const;

    TimedBus bus;
    VirtualController* controller = nullptr;
    std::unique_ptr<ProbedWidget> window;
};
