// Two discovery walks over the HID interfaces as an unprivileged user who may not open the
// controller's device node: each finds it present but unopenable, and the reason is told once.
//
//   lumaro-permission-probe <uid>

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
        for (;; ++index) {
            const HidHandle handle = hid.openInterface(hidClass, index);
            if (!handle)
                break;
            ++(handle == INVALID_HID_HANDLE ? unopenable : opened);
            hid.closeHandle(handle);
        }
        std::printf("probe-pass %d interfaces %u unopenable %d opened %d\n", pass, index,
                    unopenable, opened);
    }
    std::fflush(stdout);
    return 0;
}
