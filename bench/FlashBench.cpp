// Figures 1 and 2: what a full update costs beyond the device, and how close it comes to the
// bound the USB transfers set; 7: how long it holds the GUI thread at 1 ms and 10 ms per report.

#include "AllocationCounter.h"
#include "AllocationSites.h"
#include "BenchClock.h"
#include "FirmwareImage.h"
#include "FlashingOrder.h"
#include "LeanHidBus.h"
#include "VirtualHidAccess.h"
#include "Widget.h"
#include "WindowRig.h"

#include <QApplication>
#include <QProgressBar>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// A controller one version behind, which a finished write leaves one version behind again, so
// that every run passes the version gate and writes all pages.
constexpr std::uint16_t g_olderVersion = 0x0116;
const int g_reportsPerUpdate = FlashingOrder::writeCount() + FlashingOrder::readCount();
// The page program time of the latency model: a 512-byte page of a small microcontroller's flash
// takes a few milliseconds.
constexpr std::uint32_t g_reportMicros = 1000;
constexpr std::uint32_t g_pageProgramMicros = 4000;

void prepareController(VirtualController& controller)
{
    controller.setMode(VirtualController::Mode::Bootloader);
    controller.setInstalledVersion(g_olderVersion);
    controller.setWrittenVersion(g_olderVersion);
}

QProgressBar* progressOf(Widget& window)
{
    return window.findChild<QProgressBar*>(QStringLiteral("m_update_progress"));
}

// As after a press of Update: the window painted on screen, the progress bar visible.
void showAsPressed(Widget& window)
{
    window.show();
    progressOf(window)->show();
    QApplication::processEvents();
}

bool flashOnce(Widget& window, VirtualController& controller)
{
    const int pagesBefore = controller.programmedPageCount();
    window._DownLoad_Firmware_Data(g_firmware_image);
    const int pages = controller.programmedPageCount() - pagesBefore;
    const int progress = progressOf(window)->value();
    if (pages == int(FIRMWARE_PAGE_COUNT) && progress == FlashingOrder::kProgressEnd
        && window.updateFinished())
        return true;
    std::fprintf(stderr, "lumaro-bench-flash: %d pages programmed, progress %d, finished %d\n",
                 pages, progress, int(window.updateFinished()));
    return false;
}

void fail(const char* what)
{
    std::fprintf(stderr, "lumaro-bench-flash: %s\n", what);
    std::exit(1);
}

void measureOverhead(bool shown, int runs)
{
    LeanHidBus bus;
    prepareController(bus.controller());
    const WindowRig rig(bus);
    Widget& window = rig.window();
    if (shown)
        showAsPressed(window);
    if (!window._Open_Update_device())
        fail("the discovery pass did not find the controller");

    for (int warmUp = 0; warmUp < 3; ++warmUp) {
        if (!flashOnce(window, bus.controller()))
            fail("a warm-up update did not write and verify every page");
        QApplication::processEvents();
    }

    std::vector<double> wall, cpu, device, own;
    AllocationCounter::Counts program, model;
    std::uint64_t programMin = UINT64_MAX, programMax = 0;
    for (int run = 0; run < runs; ++run) {
        const auto deviceBefore = bus.deviceTime();
        bool ok = false;
        std::int64_t wallStart = 0, wallEnd = 0, cpuStart = 0, cpuEnd = 0;
        {
            const AllocationCounter::Scope counting;
            wallStart = BenchClock::monotonicNanos();
            cpuStart = BenchClock::threadCpuNanos();
            ok = flashOnce(window, bus.controller());
            cpuEnd = BenchClock::threadCpuNanos();
            wallEnd = BenchClock::monotonicNanos();
        }
        if (!ok)
            fail("an update did not write and verify every page");
        const double deviceNanos = double((bus.deviceTime() - deviceBefore).count());
        wall.push_back(double(wallEnd - wallStart));
        cpu.push_back(double(cpuEnd - cpuStart));
        device.push_back(deviceNanos);
        own.push_back(double(wallEnd - wallStart) - deviceNanos);
        program = AllocationCounter::program();
        model = AllocationCounter::device();
        programMin = std::min(programMin, program.total());
        programMax = std::max(programMax, program.total());
        QApplication::processEvents();
    }

    const auto w = BenchClock::summarize(wall);
    const auto c = BenchClock::summarize(cpu);
    const auto d = BenchClock::summarize(device);
    const auto o = BenchClock::summarize(own);
    std::printf("  %s\n", shown ? "window shown, progress bar visible (as after a press of Update):"
                                : "window hidden (the sequence alone, no painting):");
    std::printf("    wall time per update     %9.3f ms median (min %.3f, max %.3f)\n",
                w.median / 1e6, w.minimum / 1e6, w.maximum / 1e6);
    std::printf("    CPU time per update      %9.3f ms median (min %.3f, max %.3f)\n",
                c.median / 1e6, c.minimum / 1e6, c.maximum / 1e6);
    std::printf("    inside the controller model %6.3f ms median\n", d.median / 1e6);
    std::printf("    the window's own code    %9.3f ms median, %.2f us per report (%d reports)\n",
                o.median / 1e6, o.median / 1e3 / g_reportsPerUpdate, g_reportsPerUpdate);
    std::printf(
        "    allocations in the window's code (Qt included): %llu per update "
        "(operator new %llu, malloc/calloc/realloc %llu, %llu bytes); range over runs %llu..%llu\n",
        (unsigned long long)program.total(), (unsigned long long)program.operatorNew,
        (unsigned long long)program.mallocFamily, (unsigned long long)program.bytes,
        (unsigned long long)programMin, (unsigned long long)programMax);
    std::printf(
        "    allocations in the controller model (harness, not counted above): %llu per update\n",
        (unsigned long long)model.total());
}

// One configuration of figure 2. `modelledNanos` reads the bus's measured waits so far.
template <typename Bus>
void measureAgainstUsbBound(const char* label, Bus& bus, VirtualController& controller, bool shown,
                            std::uint64_t (*modelledNanos)(const Bus&), int runs)
{
    prepareController(controller);
    const WindowRig rig(bus);
    Widget& window = rig.window();
    if (shown)
        showAsPressed(window);
    if (!window._Open_Update_device())
        fail("the discovery pass did not find the controller");
    QApplication::processEvents();

    std::printf("  %s:\n", label);
    std::vector<double> ratios, outside, cpu;
    for (int run = 0; run < runs; ++run) {
        const std::uint64_t modelledBefore = modelledNanos(bus);
        const std::int64_t cpuStart = BenchClock::threadCpuNanos();
        const std::int64_t start = BenchClock::monotonicNanos();
        const bool ok = flashOnce(window, controller);
        const std::int64_t end = BenchClock::monotonicNanos();
        const std::int64_t cpuEnd = BenchClock::threadCpuNanos();
        if (!ok)
            fail("an update under the latency model did not write and verify every page");
        const double total = double(end - start);
        const double modelled = double(modelledNanos(bus) - modelledBefore);
        ratios.push_back(total / modelled);
        outside.push_back(total - modelled);
        cpu.push_back(double(cpuEnd - cpuStart));
        std::printf("    run %d: total %8.2f ms, modelled delays %8.2f ms, outside them %6.2f ms, "
                    "GUI-thread CPU %5.2f ms, ratio %.4f\n",
                    run + 1, total / 1e6, modelled / 1e6, (total - modelled) / 1e6,
                    double(cpuEnd - cpuStart) / 1e6, total / modelled);
        QApplication::processEvents();
    }
    if (runs == 0)
        return;
    const auto r = BenchClock::summarize(ratios);
    const auto o = BenchClock::summarize(outside);
    std::printf("    ratio total / modelled: %.4f median, %.4f worst (target 1.01 or less); "
                "outside the modelled delays %.2f ms median\n",
                r.median, r.maximum, o.median / 1e6);
}

std::uint64_t virtualBusModelled(const VirtualHidAccess& bus)
{
    return bus.modelledDelayNanos();
}

std::uint64_t leanBusModelled(const LeanHidBus& bus)
{
    return std::uint64_t(bus.modelledDelay().count());
}

void measureAgainstUsbBound(int runs)
{
    std::printf("  latency model: %u us per report each way, %u us page program;\n"
                "  nominal bound %d reports x %.1f ms + %zu pages x %.1f ms = %.1f ms\n",
                g_reportMicros, g_pageProgramMicros, g_reportsPerUpdate, g_reportMicros / 1000.0,
                FIRMWARE_PAGE_COUNT, g_pageProgramMicros / 1000.0,
                (g_reportsPerUpdate * double(g_reportMicros)
                 + FIRMWARE_PAGE_COUNT * double(g_pageProgramMicros))
                    / 1000.0);
    {
        VirtualHidAccess bus;
        bus.setLatency(g_reportMicros, g_pageProgramMicros);
        VirtualController& controller = bus.addController();
        measureAgainstUsbBound("VirtualHidAccess (records every transfer), window shown", bus,
                               controller, true, &virtualBusModelled, runs);
    }
    for (bool shown : {true, false}) {
        LeanHidBus bus;
        bus.setLatency(g_reportMicros, g_pageProgramMicros);
        measureAgainstUsbBound(shown ? "LeanHidBus (same model, records nothing), window shown"
                                     : "LeanHidBus (same model, records nothing), window hidden",
                               bus, bus.controller(), shown, &leanBusModelled, runs);
    }
}

// How long one update holds the GUI thread at the controller's polling interval, against the 5 s
// without reading messages after which Windows would ghost the window (the program turns ghosting
// off; this says when that matters).
void measureHoldTime(int runs)
{
    constexpr double ghostingSeconds = 5.0;
    std::printf("  window shown, LeanHidBus, %u us page program; Windows ghosts a window that "
                "reads no messages for %.0f s\n",
                g_pageProgramMicros, ghostingSeconds);
    for (const std::uint32_t reportMicros : {1000u, 10000u}) {
        LeanHidBus bus;
        bus.setLatency(reportMicros, g_pageProgramMicros);
        prepareController(bus.controller());
        const WindowRig rig(bus);
        Widget& window = rig.window();
        showAsPressed(window);
        if (!window._Open_Update_device())
            fail("the discovery pass did not find the controller");
        QApplication::processEvents();
        std::vector<double> seconds;
        for (int run = 0; run < runs; ++run) {
            const std::int64_t start = BenchClock::monotonicNanos();
            const bool ok = flashOnce(window, bus.controller());
            const std::int64_t end = BenchClock::monotonicNanos();
            if (!ok)
                fail("an update at the polling interval did not write and verify every page");
            seconds.push_back(double(end - start) / 1e9);
            QApplication::processEvents();
        }
        if (runs == 0)
            return;
        const auto t = BenchClock::summarize(seconds);
        const double nominal = (g_reportsPerUpdate * double(reportMicros)
                                + FIRMWARE_PAGE_COUNT * double(g_pageProgramMicros))
                             / 1e6;
        std::printf(
            "  %2u ms per report: full update %6.2f s median (min %.2f, max %.2f, %d runs), "
            "nominal %.2f s: %s the ghosting threshold\n",
            reportMicros / 1000, t.median, t.minimum, t.maximum, runs, nominal,
            t.maximum > ghostingSeconds ? "past" : "within");
    }
}

// What allocates during one update, by call chain.
void printAllocationSites(bool shown, bool verboseSites)
{
    LeanHidBus bus;
    prepareController(bus.controller());
    const WindowRig rig(bus);
    Widget& window = rig.window();
    if (shown)
        showAsPressed(window);
    if (!window._Open_Update_device() || !flashOnce(window, bus.controller()))
        fail("the update before the allocation census failed");
    QApplication::processEvents();
    AllocationSites::setEnabled(true);
    AllocationSites::clear();
    {
        const AllocationCounter::Scope counting;
        if (!flashOnce(window, bus.controller()))
            fail("the update of the allocation census failed");
    }
    AllocationSites::setEnabled(false);
    std::printf("  allocation sites, window %s (%llu allocations):\n", shown ? "shown" : "hidden",
                (unsigned long long)AllocationCounter::program().total());
    std::printf("   by the call in the window's code that led to them:\n");
    AllocationSites::reportByCall(stdout, "Widget::");
    if (verboseSites) {
        std::printf("   by call chain:\n");
        AllocationSites::report(stdout, 12, 7);
    }
}

int intArgument(int argc, char** argv, const char* name, int fallback)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return std::atoi(argv[i + 1]);
    }
    return fallback;
}

bool hasFlag(int argc, char** argv, const char* name)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int runs = intArgument(argc, argv, "--runs", 200);
    const int usbRuns = intArgument(argc, argv, "--usb-runs", 5);

    std::printf(
        "1. Flash overhead: full update against the virtual controller, zero latency, %d runs\n",
        runs);
    measureOverhead(false, runs);
    measureOverhead(true, runs);
    std::printf("\n2. Flash against the USB bound: %d runs\n", usbRuns);
    measureAgainstUsbBound(usbRuns);
    const int holdRuns = intArgument(argc, argv, "--hold-runs", 3);
    std::printf("\n7. Flash time at 1 ms and 10 ms per report: %d runs each\n", holdRuns);
    measureHoldTime(holdRuns);
    if (hasFlag(argc, argv, "--sites")) {
        std::printf("\nAllocation sites of one update (call chains, most frequent first)\n");
        const bool chains = hasFlag(argc, argv, "--chains");
        printAllocationSites(false, chains);
        printAllocationSites(true, chains);
    }
    return 0;
}
