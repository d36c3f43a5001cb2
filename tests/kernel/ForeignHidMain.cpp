// COUNT other HID devices beside the controller, made through uhid (one vendor collection, 8-byte
// reports both ways, USB bus type) and held until SIGTERM; the kernel's HID gadget function allows
// only four instances.
//
//   lumaro-foreign-hid COUNT [FIRST [VENDOR]]
//
// Device i is VENDOR:(0100 + FIRST + i), VENDOR in hex (1209). wine lists HID interfaces by id,
// so a vendor below the controller's 0079 puts them ahead of it in the walk, one above behind it.
// Report requests are refused at once, so nobody waits out the kernel's five-second time-out.

#include <linux/uhid.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace {

const std::uint8_t g_report_descriptor[] = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, // Vendor page 0xFF00, usage 1, Application
    0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, //   usage 2, 0..255
    0x75, 0x08, 0x95, 0x08, 0x81, 0x02, //   8 x 8 bits, Input
    0x09, 0x03, 0x95, 0x08, 0x91, 0x02, //   usage 3, 8 x 8 bits, Output
    0xC0, // End Collection
};

volatile std::sig_atomic_t g_stop = 0;

void requestStop(int)
{
    g_stop = 1;
}

bool send(int fd, const uhid_event& event)
{
    return write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

void refuseRequest(int fd, const uhid_event& request)
{
    uhid_event reply = {};
    if (request.type == UHID_GET_REPORT) {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = request.u.get_report.id;
        reply.u.get_report_reply.err = EIO;
    } else if (request.type == UHID_SET_REPORT) {
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = request.u.set_report.id;
        reply.u.set_report_reply.err = EIO;
    } else {
        return;
    }
    send(fd, reply);
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : -1;
    const int first = argc > 2 ? std::atoi(argv[2]) : 0;
    const unsigned long vendor = argc > 3 ? std::strtoul(argv[3], nullptr, 16) : 0x1209;
    if (count < 0 || first < 0 || count + first > 0xFF00 || vendor == 0 || vendor > 0xFFFF) {
        std::fprintf(stderr, "usage: %s COUNT [FIRST [VENDOR]]\n", argv[0]);
        return 2;
    }
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::vector<pollfd> devices;
    for (int i = 0; i < count; ++i) {
        const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
        uhid_event create = {};
        create.type = UHID_CREATE2;
        std::snprintf(reinterpret_cast<char*>(create.u.create2.name), sizeof create.u.create2.name,
                      "Lumaro bench device %d", first + i);
        std::memcpy(create.u.create2.rd_data, g_report_descriptor, sizeof g_report_descriptor);
        create.u.create2.rd_size = sizeof g_report_descriptor;
        create.u.create2.bus = BUS_USB;
        create.u.create2.vendor = static_cast<std::uint32_t>(vendor);
        create.u.create2.product = static_cast<std::uint32_t>(0x0100 + first + i);
        create.u.create2.version = 0x0100;
        if (fd < 0 || !send(fd, create)) {
            std::fprintf(stderr, "foreign-hid: device %d: %s\n", first + i, std::strerror(errno));
            return 1;
        }
        devices.push_back({fd, POLLIN, 0});
    }
    std::printf("foreign-hid created %d\n", count);
    std::fflush(stdout);

    while (!g_stop) {
        if (poll(devices.data(), devices.size(), -1) < 0 && errno != EINTR)
            break;
        for (pollfd& device : devices) {
            uhid_event event;
            if ((device.revents & POLLIN) && read(device.fd, &event, sizeof event) > 0)
                refuseRequest(device.fd, event);
        }
    }
    // Closing a uhid file destroys its device.
    for (const pollfd& device : devices)
        close(device.fd);
    return 0;
}
