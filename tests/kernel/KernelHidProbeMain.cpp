// The Windows HID code under wine against the kernel test VM's USB gadget: lists every interface
// the SetupAPI walk finds, asks the bootloader among them for its info with the bounded read, then
// leaves a reply unread and empties the input queue. Exits 0 when the bootloader answered and the
// emptied queue held nothing more.

#include "BootloaderProtocol.h"
#include "HexLine.h"
#include "HidAccessWindows.h"

#include <chrono>
#include <cstdio>

namespace {

// Far longer than the gadget takes to answer through the kernel and wine.
constexpr std::uint32_t kReplySettleMs = 300;

} // namespace

int main()
{
    HidAccessWindows hid;
    const HidGuid hidClass = hid.getHidGuid();
    HidHandle controller = nullptr;
    for (std::uint32_t index = 0;; ++index) {
        const HidHandle handle = hid.openInterface(hidClass, index);
        if (!handle)
            break;
        HidAttributes attributes;
        const bool known = hid.getAttributes(handle, &attributes);
        std::printf("probe-interface %u %s %04X:%04X\n", unsigned(index),
                    handle == INVALID_HID_HANDLE ? "unopenable" : "open", attributes.vendorId,
                    attributes.productId);
        if (known && !controller
            && hidIdWord(attributes.vendorId, attributes.productId) == BOOTLOADER_MODE_ID_WORD) {
            controller = handle;
            continue;
        }
        hid.closeHandle(handle);
    }
    if (!controller) {
        std::printf("probe-error no bootloader among the interfaces\n");
        return 1;
    }

    std::uint8_t report[kReportSize] = {};
    writeCommandHeader(report, CMD_GET_INFO);
    std::uint32_t transferred = 0;
    const bool written = hid.writeReport(controller, report, &transferred);
    std::printf("probe-write %d bytes %u\n", written ? 1 : 0, unsigned(transferred));

    std::uint8_t reply[kReportSize] = {};
    const auto start = std::chrono::steady_clock::now();
    const bool read
        = written && hid.readReport(controller, reply, &transferred, kReportReadTimeoutMs);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("probe-read %d bytes %u ms %lld\n", read ? 1 : 0, unsigned(transferred),
                static_cast<long long>(elapsed.count()));
    printHexLine(stdout, "probe-reply", reply, sizeof reply);
    const bool answered = read && reply[0] == 0 && reply[2] == CMD_GET_INFO
                       && infoReplyIdentifier(reply) == BOOTLOADER_ID;

    // Nothing was asked: this read has nothing to return and must give up within its bound.
    const auto idleStart = std::chrono::steady_clock::now();
    const bool idleRead = hid.readReport(controller, reply, &transferred, kReportReadTimeoutMs);
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - idleStart);
    std::printf("probe-idle-read %d ms %lld\n", idleRead ? 1 : 0,
                static_cast<long long>(idle.count()));

    // A reply left unread, as one that came after its read gave up, waits for the next read...
    const auto leaveReply = [&] {
        writeCommandHeader(report, CMD_GET_INFO);
        const bool sent = hid.writeReport(controller, report, &transferred);
        hid.sleepMs(kReplySettleMs);
        return sent;
    };
    const bool waited
        = leaveReply() && hid.readReport(controller, reply, &transferred, kReportReadTimeoutMs);
    std::printf("probe-unread-reply %d\n", waited ? 1 : 0);
    // ...unless the queue is emptied first.
    const bool flushed = leaveReply() && hid.flushInput(controller);
    const bool readAfterFlush
        = hid.readReport(controller, reply, &transferred, kReportReadTimeoutMs);
    std::printf("probe-flush %d read-after %d\n", flushed ? 1 : 0, readAfterFlush ? 1 : 0);
    hid.closeHandle(controller);

    return answered && !idleRead && waited && flushed && !readAfterFlush ? 0 : 1;
}
