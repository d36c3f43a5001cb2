// The window's discovery pass on the platform's real HID stack inside the kernel test's VM, timed
// pass by pass beside however many other HID devices: what a pass costs and how many of them it
// opens on its way to the controller's bootloader.
//
//   lumaro-discovery-pass TAG PASSES [PRESENT]
//
// It first walks every index until two walks agree and, with PRESENT, list that many interfaces
// (up to a minute), as devices that just arrived may not be listed yet. Prints
//   TAG-walk present P controller-index C unopenable U
//   TAG-passes N found F foreign-opens O controller-opens K unopenable U
//   TAG-us median M min A max B
// and exits 0 when every pass found the controller.

#include "BootloaderProtocol.h"
#include "ForwardingHidAccess.h"
#include "PlatformHidAccess.h"
#include "WindowRig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr qint64 g_arrival_deadline_ms = 60000;
constexpr int g_warm_up_passes = 1;

struct Walk {
    int present = 0;
    int controllerIndex = -1;
    int unopenable = 0;

    bool operator==(const Walk& other) const
    {
        return present == other.present && controllerIndex == other.controllerIndex
            && unopenable == other.unopenable;
    }
};

// Every index up to the first null, as the pass would walk them if nothing stopped it.
Walk walkAll(HidAccess& hid)
{
    Walk walk;
    const HidGuid hidClass = hid.getHidGuid();
    for (std::uint32_t index = 0;; ++index) {
        const HidHandle handle = hid.openInterface(hidClass, index);
        if (!handle)
            break;
        ++walk.present;
        HidAttributes attributes;
        if (handle == INVALID_HID_HANDLE)
            ++walk.unopenable;
        else if (hid.getAttributes(handle, &attributes) && walk.controllerIndex < 0
                 && hidIdWord(attributes.vendorId, attributes.productId) == BOOTLOADER_MODE_ID_WORD)
            walk.controllerIndex = int(index);
        hid.closeHandle(handle);
    }
    return walk;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s TAG PASSES [PRESENT]\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const char* tag = argv[1];
    const int passes = std::max(1, std::atoi(argv[2]));
    const int expected = argc > 3 ? std::atoi(argv[3]) : 0;

    const std::unique_ptr<HidAccess> platformHid = createPlatformHidAccess();
    ForwardingHidAccess hid(*platformHid);

    QElapsedTimer arrival;
    arrival.start();
    // Each index is read from a fresh list, so a walk during an arrival can see the controller at
    // one place and count the list after it grew: only two walks that agree are taken.
    Walk walk = walkAll(*platformHid);
    Walk previous;
    while ((walk.present < expected || !(walk == previous))
           && arrival.elapsed() < g_arrival_deadline_ms) {
        QThread::msleep(200);
        previous = walk;
        walk = walkAll(*platformHid);
    }
    std::printf("%s-walk present %d controller-index %d unopenable %d\n", tag, walk.present,
                walk.controllerIndex, walk.unopenable);

    // The benchmark decides when a pass runs: the polling thread is stopped before its first.
    WindowRig rig(hid);
    rig.window().show();
    QApplication::processEvents();
    for (int pass = 0; pass < g_warm_up_passes; ++pass) {
        rig.pass();
        QApplication::processEvents();
    }

    const int foreignBefore = hid.foreignOpens();
    const int controllerBefore = hid.controllerOpens();
    const int unopenableBefore = hid.unopenable();
    std::vector<qint64> nanos;
    int found = 0;
    QElapsedTimer clock;
    for (int pass = 0; pass < passes; ++pass) {
        clock.start();
        found += rig.pass() ? 1 : 0;
        nanos.push_back(clock.nsecsElapsed());
        // The repaint the pass scheduled is the event loop's, not the pass's.
        QApplication::processEvents();
    }
    std::sort(nanos.begin(), nanos.end());
    std::printf("%s-passes %d found %d foreign-opens %d controller-opens %d unopenable %d\n", tag,
                passes, found, hid.foreignOpens() - foreignBefore,
                hid.controllerOpens() - controllerBefore, hid.unopenable() - unopenableBefore);
    std::printf("%s-us median %lld min %lld max %lld\n", tag, nanos[nanos.size() / 2] / 1000,
                nanos.front() / 1000, nanos.back() / 1000);
    std::fflush(stdout);
    return found == passes ? 0 : 1;
}
