// Figure 9: hours of the window in each state it can rest in, faster than real time. Each state is
// driven through many discovery passes, each delivered through the event loop as the polling
// thread's request is, and the program's own resources are read before and after: resident
// memory, open descriptors, heap bytes in use, and the longest the event loop was held by one pass.
//
//   lumaro-bench-steady [--passes N]      default 100,000 passes per state

#include "FirmwareImage.h"
#include "VirtualHidAccess.h"
#include "Widget.h"
#include "WindowRig.h"

#include <QApplication>
#include <QPushButton>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <malloc.h>
#include <unistd.h>

namespace {

struct Resources {
    long residentKiB = 0;
    long descriptors = 0;
    long long heapBytes = 0;
};

Resources measure()
{
    Resources now;
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    now.residentKiB = resident * (sysconf(_SC_PAGESIZE) / 1024);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++now.descriptors;
    }
    now.heapBytes = static_cast<long long>(mallinfo2().uordblks);
    return now;
}

struct State {
    const char* name;
    int installed; // -1: no controller; -2: a game-mode controller whose switch is not taken
    int flashStopsAtPage; // -1: no flash; 61: a whole one
};

void runState(const State& state, long passes)
{
    VirtualHidAccess bus;
    bus.setRealSleeps(false);
    bus.setReadTimeoutMs(0);
    if (state.installed == -2)
        bus.addForeignInterface(CONTROLLER_VID, PID_NORMAL_MODE);
    else if (state.installed >= 0) {
        VirtualController& controller = bus.addController();
        controller.setMode(VirtualController::Mode::Bootloader);
        controller.setInstalledVersion(static_cast<std::uint16_t>(state.installed));
        controller.setWrongChecksumPage(state.flashStopsAtPage < 61 ? state.flashStopsAtPage : -1);
    }
    const WindowRig rig(bus);
    Widget& window = rig.window();
    window.show();
    QApplication::processEvents();
    window._Open_Update_device();
    if (state.flashStopsAtPage >= 0)
        window._DownLoad_Firmware_Data(g_firmware_image);

    using Clock = std::chrono::steady_clock;
    Clock::duration longest{};
    const auto runPasses = [&](long count) {
        for (long i = 0; i < count; ++i) {
            QMetaObject::invokeMethod(&window, "_Open_Update_device", Qt::QueuedConnection);
            const Clock::time_point start = Clock::now();
            QApplication::processEvents();
            longest = std::max(longest, Clock::now() - start);
            // The test bus keeps every transfer; the program keeps nothing.
            if (i % 1000 == 0)
                bus.clearTrace();
        }
    };
    // Qt's and the bus's first-use allocations are not the window's growth.
    runPasses(1000);
    bus.clearTrace();
    longest = {};
    const Resources before = measure();
    const Clock::time_point start = Clock::now();
    runPasses(passes);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    bus.clearTrace();
    const Resources after = measure();
    std::printf(
        "| %s | %ld | %.1f | %ld -> %ld | %ld -> %ld | %lld -> %lld (%+.3f per pass) | %.2f |\n",
        state.name, passes, passes * 0.5 / 3600, before.residentKiB, after.residentKiB,
        before.descriptors, after.descriptors, before.heapBytes, after.heapBytes,
        double(after.heapBytes - before.heapBytes) / double(passes),
        std::chrono::duration<double, std::milli>(longest).count());
    std::fprintf(stderr, "%s: %.1f s\n", state.name, seconds);
}

} // namespace

int main(int argc, char** argv)
{
    long passes = 100000;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--passes") == 0)
            passes = std::atol(argv[i + 1]);
    }
    QApplication application(argc, argv);
    std::printf("Figure 9: %ld discovery passes per state, after 1,000 to warm up\n\n", passes);
    std::printf("| state | passes | hours at 2 passes/s | resident KiB | open descriptors | heap "
                "bytes in use | longest pass, ms |\n|---|---|---|---|---|---|---|\n");
    const State states[] = {
        {"no controller", -1, -1},     {"game mode, switch not taken", -2, -1},
        {"update offered", 0x116, -1}, {"up to date", EMBEDDED_FIRMWARE_VERSION, -1},
        {"finished", 0x116, 61},       {"stopped short", 0x116, 17},
    };
    for (const State& state : states)
        runState(state, passes);
    return 0;
}
