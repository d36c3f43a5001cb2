#pragma once

#include "Widget.h"
#include "WindowState.h"

#include <QByteArray>
#include <QMetaType>
#include <QProgressBar>
#include <QPushButton>

#include <chrono>
#include <memory>

// An updater window on a given HID access, as the tests, benchmarks, fuzzer and kernel drivers
// drive it: its polling thread stopped, unless asked for, so that the caller decides when a
// discovery pass runs; the device state that the window keeps outside itself reset first.
class WindowRig {
public:
    enum class Polling { Stopped, Running };

    // `hid` must outlive the rig.
    explicit WindowRig(HidAccess& hid, Polling polling = Polling::Stopped);
    ~WindowRig();

    Widget& window() const { return *m_window; }

    bool pass() { return m_window->_Open_Update_device(); }

    QPushButton* updateButton() const { return m_window->findChild<QPushButton*>("UpdateBtn"); }
    QPushButton* finish() const { return m_window->findChild<QPushButton*>("Finish"); }
    QProgressBar* progress() const
    {
        return m_window->findChild<QProgressBar*>("m_update_progress");
    }
    WindowState shownState() const { return m_window->shownState(); }

    int updateThreadCount() const;
    // A press of Update, followed through to the end of the flashing slot it leads to. Returns how
    // long the window's queued calls held the GUI thread.
    std::chrono::nanoseconds clickUpdateAndFlash();
    // Waits for the update threads started since `threadsBefore` and runs the flashing slots they
    // asked for, in order; returns how long that held the GUI thread.
    std::chrono::nanoseconds deliverUpdateSignals(int threadsBefore = 0);
    // The window keeps every update thread until it goes; thousands of runs would pile them up.
    void deleteUpdateThreads();

    // The identifier and version of the last info reply, as no controller has answered yet.
    static void resetDeviceState();
    // The state's name in code, for messages.
    static const char* nameOf(WindowState state);

protected:
    // For a rig that owns its bus: it is made before the window and goes after it.
    WindowRig(std::unique_ptr<HidAccess> ownedHid, Polling polling);
    HidAccess& ownedHid() const { return *m_owned_hid; }

private:
    void open(HidAccess& hid, Polling polling);
    // Stops the polling thread, waits for it to end and drops the passes it asked for.
    void stopPolling();

    std::unique_ptr<HidAccess> m_owned_hid;
    std::unique_ptr<Widget> m_window;
};

Q_DECLARE_METATYPE(WindowState)

// Lets QCOMPARE print a state by its name.
inline char* toString(WindowState state)
{
    return qstrdup(WindowRig::nameOf(state));
}
