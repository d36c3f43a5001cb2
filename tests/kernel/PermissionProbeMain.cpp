// Two discovery walks over the HID interfaces as an unprivileged user who may not open the
// controller's device nodes: each finds the controller present but unopenable (or, with its
// hidraw node open to all, opened but refused the string request that goes through the USB
// node), and the reason is told once.
//
//   lumaro-permission-probe <uid>

#include "BootloaderProtocol.h"
#include "HidAccessLinux.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <uid>\n", argv[0]);
        return 2;
    }
    const uid_t uid = static_cast<uid_t>(std::strtoul(argv[1], nullptr, 10));
    if (setgid(uid) != 0 || setuid(uid) != 0) {
        std::perror("setuid");
        return 2;
    }

    HidAccessLinux hid;
    for (int pass = 1; pass <= 2; ++pass) {
        const HidGuid hidClass = hid.getHidGuid();
        std::uint32_t index = 0;
        int unopenable = 0;
        int opened = 0;
        int stringsRefused = 0;
        for (;; ++index) {
            const HidHandle handle = hid.openInterface(hidClass, index);
            if (!handle)
                break;
            if (handle == INVALID_HID_HANDLE) {
                ++unopenable;
            } else {
                ++opened;
                std::uint8_t text[14] = {};
                if (!hid.getIndexedString(handle, SWITCH_STRING_INDEX, text, sizeof text))
                    ++stringsRefused;
            }
            hid.closeHandle(handle);
        }
        std::printf("probe-pass %d interfaces %u unopenable %d opened %d strings-refused %d\n",
                    pass, index, unopenable, opened, stringsRefused);
    }
    std::fflush(stdout);
    return 0;
}
