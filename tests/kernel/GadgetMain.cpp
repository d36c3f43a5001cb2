// The controller on the far side of the kernel's USB stack: serves the gadget until SIGTERM, then
// writes what crossed the bus and what its flash holds.
//
//   lumaro-usb-gadget <gadgetfs directory> <result file> [bootloader] [stays-behind]
//                     [silent-at=RUN:REPORT] [unplug-at=RUN:REPORT] [up-to-date] [muted]
//
// `bootloader` starts it in its bootloader (firmware 1.16); `stays-behind` installs 1.16 again
// after every write, so every run is offered the update; `up-to-date` installs the embedded
// version. For the faults see UsbHidGadget::Faults. An unplugged or muted device comes back on
// SIGUSR2.

#include "HexLine.h"
#include "UsbHidGadget.h"
#include "VirtualController.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <signal.h>

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_come_back{false};

void requestStop(int)
{
    g_stop = true;
}

void interruptIo(int)
{
}

void comeBack(int)
{
    g_come_back = true;
}

bool parseFaultPoint(const char* option, const char* name, UsbHidGadget::FaultPoint* point)
{
    const std::size_t length = std::strlen(name);
    return std::strncmp(option, name, length) == 0
        && std::sscanf(option + length, "%d:%d", &point->run, &point->report) == 2;
}

} // namespace

int main(int argc, char** argv)
{
    VirtualController controller;
    UsbHidGadget::Faults faults;
    faults.comeBack = &g_come_back;
    for (int i = 3; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "bootloader") == 0) {
            controller.setMode(VirtualController::Mode::Bootloader);
        } else if (std::strcmp(option, "stays-behind") == 0) {
            controller.setWrittenVersion(EMBEDDED_FIRMWARE_VERSION - 1);
        } else if (std::strcmp(option, "muted") == 0) {
            faults.mutedUntilComeBack = true;
        } else if (std::strcmp(option, "up-to-date") == 0) {
            controller.setInstalledVersion(EMBEDDED_FIRMWARE_VERSION);
        } else if (!parseFaultPoint(option, "silent-at=", &faults.silent)
                   && !parseFaultPoint(option, "unplug-at=", &faults.unplug)) {
            argc = 0;
        }
    }
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: %s <gadgetfs directory> <result file> [bootloader] [stays-behind] "
                     "[silent-at=RUN:REPORT] [unplug-at=RUN:REPORT] [up-to-date] [muted]\n",
                     argv[0]);
        return 2;
    }
    // No SA_RESTART: the signals are there to break blocking endpoint I/O.
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = requestStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    action.sa_handler = interruptIo;
    sigaction(SIGUSR1, &action, nullptr);
    action.sa_handler = comeBack;
    sigaction(SIGUSR2, &action, nullptr);

    const std::uint16_t installed = controller.reportedVersion();
    UsbHidGadget gadget(controller, argv[1]);
    gadget.setFaults(faults);
    const bool served = gadget.run(g_stop);
    gadget.detach();

    std::FILE* out = std::fopen(argv[2], "w");
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    std::fprintf(out, "gadget-served %d\n", served ? 1 : 0);
    std::fprintf(out, "gadget-attaches %d\n", gadget.attachCount());
    std::fprintf(out, "gadget-mode %s\n",
                 controller.mode() == VirtualController::Mode::Bootloader ? "bootloader"
                                                                          : "normal");
    std::fprintf(out, "gadget-installed %04X\n", unsigned(installed));
    std::fprintf(out, "gadget-version %04X\n", unsigned(controller.reportedVersion()));
    std::fprintf(out, "gadget-replies %d\n", gadget.repliesDelivered());
    for (const UsbHidGadget::StringRequest& request : gadget.stringRequests()) {
        char tag[64];
        std::snprintf(tag, sizeof tag, "string %u %u %s", unsigned(request.index),
                      unsigned(request.length), request.stalled ? "stall" : "data");
        printHexLine(out, tag, request.answer.data(), request.answer.size());
    }
    for (const UsbHidGadget::ReceivedReport& report : gadget.receivedReports()) {
        char tag[64];
        std::snprintf(tag, sizeof tag, "report %d %lld", report.attach,
                      static_cast<long long>(report.micros));
        printHexLine(out, tag, report.data.data(), report.data.size());
    }
    for (std::size_t offset = 0; offset < FIRMWARE_IMAGE_SIZE; offset += FIRMWARE_CHUNK_SIZE)
        printHexLine(out, "flash", controller.flash() + offset, FIRMWARE_CHUNK_SIZE);
    std::fprintf(out, "gadget-end\n");
    std::fclose(out);
    return served ? 0 : 1;
}
