// Figure 3: what one discovery pass costs the GUI thread as the number of HID interfaces ahead of
// the controller grows, and which interfaces it opens.

#include "AllocationCounter.h"
#include "AllocationSites.h"
#include "BenchClock.h"
#include "BootloaderProtocol.h"
#include "FirmwareImage.h"
#include "LeanHidBus.h"
#include "PlatformHidAccess.h"
#include "VirtualHidAccess.h"
#include "Widget.h"
#include "WindowRig.h"

#include <QApplication>
#include <QDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

// The last row only makes the trend plain.
const int g_foreignCounts[] = {1, 16, 64, 256, 1024};

struct PassFigures {
    double wallMedian = 0;
    double wallMinimum = 0;
    double cpuMedian = 0;
    double repaintMedian = 0;
    double foreignOpensPerPass = 0;
    double controllerOpensPerPass = 0;
    std::uint64_t allocationsPerPass = 0;
    bool found = true;
};

// Runs `passes` discovery passes, each timed on its own, with the repaint it schedules timed
// apart. `opens` reads the bus's (foreign, controller) open counters; `afterPass`, if any,
// tidies the bus outside the timed region.
PassFigures measurePasses(Widget& window, int passes,
                          const std::function<std::pair<int, int>()>& opens,
                          const std::function<void()>& afterPass, bool expectController)
{
    window.show();
    QApplication::processEvents();
    for (int warmUp = 0; warmUp < 10; ++warmUp) {
        window._Open_Update_device();
        if (afterPass)
            afterPass();
        QApplication::processEvents();
    }

    PassFigures figures;
    std::vector<double> wall, cpu, repaint;
    const std::pair<int, int> opensBefore = opens();
    for (int pass = 0; pass < passes; ++pass) {
        bool found = false;
        {
            const AllocationCounter::Scope counting;
            const std::int64_t wallStart = BenchClock::monotonicNanos();
            const std::int64_t cpuStart = BenchClock::threadCpuNanos();
            found = window._Open_Update_device();
            cpu.push_back(double(BenchClock::threadCpuNanos() - cpuStart));
            wall.push_back(double(BenchClock::monotonicNanos() - wallStart));
        }
        figures.allocationsPerPass = AllocationCounter::program().total();
        figures.found = figures.found && found == expectController;
        if (afterPass)
            afterPass();
        const std::int64_t repaintStart = BenchClock::monotonicNanos();
        QApplication::processEvents();
        repaint.push_back(double(BenchClock::monotonicNanos() - repaintStart));
    }
    const std::pair<int, int> opensAfter = opens();
    figures.wallMedian = BenchClock::summarize(wall).median;
    figures.wallMinimum = BenchClock::summarize(wall).minimum;
    figures.cpuMedian = BenchClock::summarize(cpu).median;
    figures.repaintMedian = BenchClock::summarize(repaint).median;
    figures.foreignOpensPerPass = double(opensAfter.first - opensBefore.first) / passes;
    figures.controllerOpensPerPass = double(opensAfter.second - opensBefore.second) / passes;
    return figures;
}

void printRow(int foreign, const PassFigures& figures, const PassFigures& single)
{
    const double perInterface
        = foreign > 1 ? (figures.wallMedian - single.wallMedian) / (foreign - 1) : 0;
    std::printf("    %4d   %9.2f   %9.2f   %9.2f   %12s   %10.1f   %9.2f   %8llu   %9.1f%s\n",
                foreign, figures.wallMedian / 1e3, figures.wallMinimum / 1e3,
                figures.cpuMedian / 1e3,
                foreign > 1 ? QByteArray::number(perInterface / 1e3, 'f', 3).constData() : "-",
                figures.foreignOpensPerPass, figures.controllerOpensPerPass,
                (unsigned long long)figures.allocationsPerPass, figures.repaintMedian / 1e3,
                figures.found ? "" : "   CONTROLLER NOT FOUND");
}

void printHeader()
{
    std::printf("    foreign  pass wall   pass wall   pass CPU   per extra      foreign     ctrl   "
                "     allocs     repaint\n"
                "             (us, med)   (us, min)   (us, med)  interface(us)  opens/pass  "
                "opens/pass  /pass      after (us)\n");
}

void measureLeanBus(int passes)
{
    std::printf("  LeanHidBus (constant-time open, records nothing), controller in its bootloader, "
                "up to date:\n");
    printHeader();
    PassFigures single;
    for (int foreign : g_foreignCounts) {
        LeanHidBus bus(foreign);
        bus.controller().setInstalledVersion(EMBEDDED_FIRMWARE_VERSION);
        const WindowRig rig(bus);
        Widget& window = rig.window();
        const PassFigures figures = measurePasses(
            window, passes,
            [&] { return std::make_pair(bus.foreignOpens(), bus.controllerOpens()); }, [] {}, true);
        if (foreign == 1)
            single = figures;
        printRow(foreign, figures, single);
    }
}

void measureVirtualBus(int passes)
{
    std::printf("  VirtualHidAccess (the test bus: finds an index by walking its list, records "
                "every transfer):\n");
    printHeader();
    PassFigures single;
    for (int foreign : g_foreignCounts) {
        VirtualHidAccess bus;
        bus.setRealSleeps(false);
        for (int i = 0; i < foreign; ++i)
            bus.addForeignInterface(0x046D, std::uint16_t(0xC000 + i));
        VirtualController& controller = bus.addController();
        controller.setMode(VirtualController::Mode::Bootloader);
        controller.setInstalledVersion(EMBEDDED_FIRMWARE_VERSION);
        const WindowRig rig(bus);
        Widget& window = rig.window();
        // The bus counts opens of foreign interfaces; the controller is opened once a pass.
        int passesSoFar = 0;
        const PassFigures figures = measurePasses(
            window, passes, [&] { return std::make_pair(bus.foreignOpenCount(), passesSoFar); },
            [&] {
                ++passesSoFar;
                bus.clearTrace();
            },
            true);
        if (foreign == 1)
            single = figures;
        printRow(foreign, figures, single);
        if (bus.foreignWriteCount() != 0)
            std::printf("    foreign interfaces written: %d\n", bus.foreignWriteCount());
    }
}

void measurePlatformBackend(int passes)
{
    const int hidraw = int(QDir(QStringLiteral("/sys/class/hidraw"))
                               .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                               .size());
    std::printf(
        "  This machine's HID stack (hidapi on hidraw, enumerating vendor 0x%04X only), %d hidraw "
        "interfaces present, no controller:\n",
        unsigned(CONTROLLER_VID), hidraw);
    std::unique_ptr<HidAccess> hid = createPlatformHidAccess();
    const WindowRig rig(*hid);
    Widget& window = rig.window();
    // hidapi counts no opens, and there is no bus to tidy between the passes.
    const auto noOpens = [] { return std::make_pair(0, 0); };
    const PassFigures figures = measurePasses(window, passes, noOpens, {}, false);
    std::printf("    pass wall %.2f us median, CPU %.2f us median, %llu allocations per pass, "
                "repaint after "
                "%.1f us median\n",
                figures.wallMedian / 1e3, figures.cpuMedian / 1e3,
                (unsigned long long)figures.allocationsPerPass, figures.repaintMedian / 1e3);
}

// What allocates during one pass that finds the controller behind 64 foreign interfaces.
void printAllocationSites()
{
    LeanHidBus bus(64);
    bus.controller().setInstalledVersion(EMBEDDED_FIRMWARE_VERSION);
    const WindowRig rig(bus);
    Widget& window = rig.window();
    window.show();
    window._Open_Update_device();
    QApplication::processEvents();
    AllocationSites::setEnabled(true);
    AllocationSites::clear();
    {
        const AllocationCounter::Scope counting;
        window._Open_Update_device();
    }
    AllocationSites::setEnabled(false);
    std::printf(
        "\n  allocations of one pass (64 foreign interfaces), by the call in the window's code:\n");
    AllocationSites::reportByCall(stdout, "Widget::");
    QApplication::processEvents();
}

int intArgument(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int passes = intArgument(argc, argv, "--passes", 400);

    std::printf("3. Discovery scaling: one pass (_Open_Update_device) on the GUI thread with N "
                "foreign HID\n"
                "   interfaces ahead of the controller, window shown, %d passes per row\n",
                passes);
    measureLeanBus(passes);
    measureVirtualBus(passes);
    measurePlatformBackend(passes / 4);
    if (std::find_if(argv, argv + argc,
                     [](const char* a) { return std::strcmp(a, "--sites") == 0; })
        != argv + argc)
        printAllocationSites();
    return 0;
}
