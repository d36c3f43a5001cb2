// Drives the updater window's discovery pass and flashing sequence against a HID stack whose
// every answer comes from the fuzz input, and holds the window to what that stack told it:
//  - the window reports the update finished only after a run in which all 61 checksum replies
//    matched the table;
//  - the stored version is always that of the last whole info reply, or 0 once a run starts
//    rewriting the flash; never parsed from a failed read's leftovers;
//  - the window always shows one of its states (never Update beside Finish, say), and a finished
//    update shows Finish;
//  - after a pass at most one handle is open, none when the pass found no controller;
//  - no handle is used after it is closed or closed twice (the stack aborts on that).
// The sanitizers catch the rest: out-of-bounds access, use after free, undefined behaviour.

#include "FirmwareImage.h"
#include "FuzzedHidAccess.h"
#include "WindowRig.h"

#include <QApplication>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

namespace {

QApplication* g_application = nullptr;
FuzzedHidAccess* g_bus = nullptr;
WindowRig* g_rig = nullptr;
Widget* g_window = nullptr;

[[noreturn]] void broken(const char* what)
{
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void checkWindow()
{
    if (g_device_version != g_bus->expectedVersion())
        broken("the stored version is not that of the last whole info reply");
    // Such as Update beside Finish, or a finished update without Finish.
    if (g_rig->shownState() == WindowState::Contradictory)
        broken("the window shows none of its states");
}

void pass()
{
    const bool found = g_rig->pass();
    if (g_bus->openHandleCount() != (found ? 1 : 0))
        broken("a pass left the wrong number of handles open");
    if (found != (g_window->deviceHandle() != nullptr))
        broken("the pass's result and the held handle disagree");
    checkWindow();
}

void run()
{
    const bool finishedBefore = g_window->updateFinished();
    g_bus->beginRun();
    g_window->_DownLoad_Firmware_Data(g_firmware_image);
    if (g_window->updateFinished() && !finishedBefore && !g_bus->everyPageMatchedThisRun())
        broken("finished without every page's checksum matching");
    checkWindow();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    g_application = new QApplication(*argc, *argv);
    g_bus = new FuzzedHidAccess;
    // Passes run when the input says, not when the polling thread asks.
    g_rig = new WindowRig(*g_bus);
    g_window = &g_rig->window();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    g_bus->setInput(&input);

    // Every input starts from the no-device state with nothing stored.
    g_bus->setEmpty(true);
    pass();
    g_bus->setEmpty(false);
    WindowRig::resetDeviceState();
    g_bus->setExpectedVersion(0);

    const int steps = input.ConsumeIntegralInRange<int>(1, 8);
    for (int step = 0; step < steps; ++step) {
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 1:
            pass();
            break;
        case 2:
            // A run on whatever the last pass left: a held handle, or none.
            run();
            break;
        default:
            pass();
            run();
            break;
        }
    }
    return 0;
}
