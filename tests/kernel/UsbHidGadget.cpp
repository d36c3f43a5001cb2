#include "UsbHidGadget.h"

#include "VirtualController.h"

#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <iterator>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace {

// Game mode: a plain gamepad (16 buttons, four axes) with one interrupt IN endpoint.
const std::vector<std::uint8_t> g_gamepad_report_descriptor = {
    0x05, 0x01, 0x09, 0x05, 0xA1, 0x01, // Generic Desktop, Game Pad, Application
    0x05, 0x09, 0x19, 0x01, 0x29, 0x10, //   Buttons 1..16
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x10, //   0..1, 16 x 1 bit
    0x81, 0x02, //   Input (Data, Var, Abs)
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x32, //   X, Y, Z,
    0x09, 0x35, 0x15, 0x00, 0x26, 0xFF, 0x00, //   Rz, 0..255
    0x75, 0x08, 0x95, 0x04, 0x81, 0x02, //   4 x 8 bits, Input
    0xC0, // End Collection
};

// Bootloader: one vendor collection with a 64-byte input and a 64-byte output report, both
// unnumbered, on an interrupt IN and an interrupt OUT endpoint.
const std::vector<std::uint8_t> g_bootloader_report_descriptor = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, // Vendor page 0xFF00, usage 1, Application
    0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, //   usage 2, 0..255
    0x75, 0x08, 0x95, 0x40, 0x81, 0x02, //   64 x 8 bits, Input
    0x09, 0x03, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, //   usage 3, 64 x 8 bits, Output
    0xC0, // End Collection
};

constexpr std::uint8_t g_in_endpoint_address = 0x81;
constexpr std::uint8_t g_out_endpoint_address = 0x01;
constexpr std::size_t g_report_size = 64;

struct Identity {
    std::uint16_t productId;
    const std::vector<std::uint8_t>* reportDescriptor;
    bool hasOutEndpoint;
    std::uint8_t inPacketSize;
    std::uint8_t inInterval;
    // Game mode names itself; the bootloader carries no strings.
    bool hasStrings;
};

Identity identityOf(const VirtualController& controller)
{
    if (controller.mode() == VirtualController::Mode::Bootloader)
        return {controller.productId(), &g_bootloader_report_descriptor, true, 64, 1, false};
    return {controller.productId(), &g_gamepad_report_descriptor, false, 8, 4, true};
}

void put16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void append(std::vector<std::uint8_t>& out, const std::vector<std::uint8_t>& bytes)
{
    out.insert(out.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> hidDescriptor(const Identity& identity)
{
    std::vector<std::uint8_t> d = {9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22};
    put16(d, static_cast<std::uint16_t>(identity.reportDescriptor->size()));
    return d;
}

std::vector<std::uint8_t> endpointDescriptor(std::uint8_t address, std::uint8_t packetSize,
                                             std::uint8_t interval)
{
    return {7, USB_DT_ENDPOINT, address, USB_ENDPOINT_XFER_INT, packetSize, 0, interval};
}

std::vector<std::uint8_t> configurationDescriptor(const Identity& identity)
{
    const std::uint8_t endpoints = identity.hasOutEndpoint ? 2 : 1;
    std::vector<std::uint8_t> body = {9, USB_DT_INTERFACE, 0, 0, endpoints, USB_CLASS_HID, 0, 0, 0};
    append(body, hidDescriptor(identity));
    append(body,
           endpointDescriptor(g_in_endpoint_address, identity.inPacketSize, identity.inInterval));
    if (identity.hasOutEndpoint)
        append(body, endpointDescriptor(g_out_endpoint_address, g_report_size, 1));
    std::vector<std::uint8_t> config = {9, USB_DT_CONFIG};
    put16(config, static_cast<std::uint16_t>(9 + body.size()));
    append(config, {1, 1, 0, 0x80, 50});
    append(config, body);
    return config;
}

std::vector<std::uint8_t> deviceDescriptor(const Identity& identity)
{
    std::vector<std::uint8_t> d = {18, USB_DT_DEVICE};
    put16(d, 0x0110); // a full-speed device, as the controller is
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, CONTROLLER_VID);
    put16(d, identity.productId);
    put16(d, 0x0100);
    // iManufacturer, iProduct, iSerialNumber, then one configuration.
    if (identity.hasStrings)
        d.insert(d.end(), {1, 2, 3, 1});
    else
        d.insert(d.end(), {0, 0, 0, 1});
    return d;
}

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes, const char* what)
{
    const ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written != static_cast<ssize_t>(bytes.size())) {
        std::fprintf(stderr, "gadget: writing %s: %s\n", what, std::strerror(errno));
        return false;
    }
    return true;
}

std::vector<std::string> directoryEntries(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

UsbHidGadget::UsbHidGadget(VirtualController& controller, std::string gadgetDirectory)
    : m_controller(controller)
    , m_directory(std::move(gadgetDirectory))
{
}

UsbHidGadget::~UsbHidGadget()
{
    detach();
}

bool UsbHidGadget::attach()
{
    // The controller file is the one entry that is not an endpoint.
    std::string controllerFile;
    for (const std::string& name : directoryEntries(m_directory)) {
        if (name.rfind("ep", 0) != 0)
            controllerFile = m_directory + "/" + name;
    }
    m_ep0 = open(controllerFile.c_str(), O_RDWR);
    if (m_ep0 < 0) {
        std::fprintf(stderr, "gadget: opening the controller file '%s': %s\n",
                     controllerFile.c_str(), std::strerror(errno));
        return false;
    }
    // Tag 0, the full-speed configuration, no high-speed one, then the device descriptor.
    const Identity identity = identityOf(m_controller);
    std::vector<std::uint8_t> descriptors = {0, 0, 0, 0};
    append(descriptors, configurationDescriptor(identity));
    append(descriptors, deviceDescriptor(identity));
    if (!writeAll(m_ep0, descriptors, "the device descriptors"))
        return false;
    ++m_attach_count;
    return true;
}

bool UsbHidGadget::run(const std::atomic<bool>& stop)
{
    m_main_thread = pthread_self();
    if (m_ep0 < 0 && !attach())
        return false;
    usb_gadgetfs_event events[5];
    while (!stop) {
        const ssize_t got = read(m_ep0, events, sizeof events);
        if (got < 0) {
            if (errno == EINTR) {
                if (m_unplug_pending && !replug(stop))
                    return false;
                continue;
            }
            std::fprintf(stderr, "gadget: reading ep0 events: %s\n", std::strerror(errno));
            return false;
        }
        for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof events[0]); ++i) {
            switch (events[i].type) {
            case GADGETFS_SETUP:
                if (!handleSetup(&events[i].u.setup))
                    return false;
                break;
            case GADGETFS_DISCONNECT:
                closeEndpoints();
                break;
            default:
                break;
            }
        }
    }
    return true;
}

bool UsbHidGadget::handleSetup(const void* setupPacket)
{
    usb_ctrlrequest setup;
    std::memcpy(&setup, setupPacket, sizeof setup);
    const std::uint16_t value = le16toh(setup.wValue);
    const std::uint16_t length = le16toh(setup.wLength);
    const bool hostToDevice = (setup.bRequestType & USB_DIR_IN) == 0;
    const Identity identity = identityOf(m_controller);

    switch ((setup.bRequestType << 8) | setup.bRequest) {
    case ((USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE) << 8) | USB_REQ_GET_DESCRIPTOR:
        if ((value >> 8) == USB_DT_STRING)
            return answerString(static_cast<std::uint8_t>(value & 0xFF), length);
        return stall(hostToDevice);
    case ((USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_INTERFACE) << 8) | USB_REQ_GET_DESCRIPTOR:
        if ((value >> 8) == 0x22)
            return reply(identity.reportDescriptor->data(), identity.reportDescriptor->size(),
                         length);
        if ((value >> 8) == 0x21) {
            const auto hid = hidDescriptor(identity);
            return reply(hid.data(), hid.size(), length);
        }
        return stall(hostToDevice);
    case ((USB_DIR_OUT | USB_TYPE_STANDARD | USB_RECIP_DEVICE) << 8) | USB_REQ_SET_CONFIGURATION:
        // gadgetfs hands this on only to be acknowledged once the endpoints are up.
        if (value != 0 && !configureEndpoints())
            return false;
        if (value == 0)
            closeEndpoints();
        return ackStatus();
    case ((USB_DIR_OUT | USB_TYPE_STANDARD | USB_RECIP_INTERFACE) << 8) | USB_REQ_SET_INTERFACE:
    case ((USB_DIR_OUT | USB_TYPE_CLASS | USB_RECIP_INTERFACE) << 8) | 0x0A: // HID SET_IDLE
        return ackStatus();
    default:
        return stall(hostToDevice);
    }
}

bool UsbHidGadget::answerString(std::uint8_t index, std::uint16_t length)
{
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(length, 2), 0);
    if (!m_controller.stringRequest(index, buffer.data(), length)) {
        m_string_requests.push_back({index, length, {}, true});
        return stall(false);
    }
    // The descriptor's own length says how much of the buffer it filled.
    const std::size_t size = std::min<std::size_t>(buffer[0], length);
    m_string_requests.push_back(
        {index, length, {buffer.begin(), buffer.begin() + std::ptrdiff_t(size)}, false});
    if (!reply(buffer.data(), size, length))
        return false;
    if (m_controller.restartRequested())
        return restartIntoBootloader();
    return true;
}

bool UsbHidGadget::restartIntoBootloader()
{
    // The controller finishes the request it is answering before it resets.
    usleep(50 * 1000);
    detach();
    m_controller.restartIntoBootloader();
    return attach();
}

bool UsbHidGadget::replug(const std::atomic<bool>& stop)
{
    detach();
    m_unplug_pending = false;
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_faults.replugMs);
    while (m_faults.comeBack ? !*m_faults.comeBack : std::chrono::steady_clock::now() < deadline) {
        if (stop)
            return true;
        usleep(10 * 1000);
    }
    // Power comes back: the bootloader starts afresh with whatever the flash now holds.
    m_controller.resetTransferState();
    return attach();
}

std::string UsbHidGadget::endpointPath(bool in) const
{
    // dummy_hcd names its endpoints after the hardware it imitates (ep1in-bulk, ep5in-int,
    // ep-aout, ...); any of them but the isochronous ones takes an interrupt endpoint.
    std::string best;
    for (const std::string& name : directoryEntries(m_directory)) {
        if (name.rfind("ep", 0) != 0 || name.find("-iso") != std::string::npos)
            continue;
        if (name.find(in ? "in" : "out") == std::string::npos)
            continue;
        if (best.empty() || name.find("-int") != std::string::npos)
            best = name;
    }
    return best.empty() ? std::string() : m_directory + "/" + best;
}

bool UsbHidGadget::configureEndpoints()
{
    closeEndpoints();
    const Identity identity = identityOf(m_controller);
    auto configure = [this](bool in, const std::vector<std::uint8_t>& descriptor) {
        const std::string path = endpointPath(in);
        const int fd = path.empty() ? -1 : open(path.c_str(), O_RDWR);
        if (fd < 0) {
            std::fprintf(stderr, "gadget: no usable %s endpoint file in %s\n", in ? "IN" : "OUT",
                         m_directory.c_str());
            return -1;
        }
        std::vector<std::uint8_t> config = {1, 0, 0, 0};
        append(config, descriptor);
        if (!writeAll(fd, config, path.c_str())) {
            close(fd);
            return -1;
        }
        return fd;
    };
    m_ep_in = configure(true, endpointDescriptor(g_in_endpoint_address, identity.inPacketSize,
                                                 identity.inInterval));
    if (m_ep_in < 0)
        return false;
    if (!identity.hasOutEndpoint)
        return true;
    m_ep_out = configure(false, endpointDescriptor(g_out_endpoint_address, g_report_size, 1));
    if (m_ep_out < 0)
        return false;
    m_stopping = false;
    m_report_thread_done = false;
    m_report_thread = std::thread([this] { serveReports(); });
    return true;
}

void UsbHidGadget::serveReports()
{
    // Termination is the main thread's: it interrupts this thread's endpoint I/O with SIGUSR1.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    Report data;
    Report answer;
    while (!m_stopping) {
        // Exactly wMaxPacketSize: a larger read waits for a transfer that never ends.
        const ssize_t got = read(m_ep_out, data.data(), data.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got != static_cast<ssize_t>(data.size())) {
            if (got < 0 && errno != ESHUTDOWN)
                std::fprintf(stderr, "gadget: reading the OUT endpoint: %s\n",
                             std::strerror(errno));
            break;
        }
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        m_received.push_back({data, m_attach_count,
                              std::chrono::duration_cast<std::chrono::microseconds>(now).count()});
        m_controller.receiveOutputReport(data.data());
        if (const std::uint32_t busy = m_controller.busyMicrosAfterLastReport())
            usleep(busy);
        // The updater's own info request, then page 16 selected: a run starts.
        const std::uint8_t selectPage[]
            = {COMMAND_LEAD_BYTE, CMD_SET_PAGE, COMMAND_GUARD_BYTE, 0xFF - CMD_SET_PAGE};
        if (m_last_was_info && m_controller.selectedPage() == FIRMWARE_CLOSING_PAGE
            && std::equal(std::begin(selectPage), std::end(selectPage), data.begin())) {
            ++m_run;
            m_reports_in_run = 0;
        }
        m_last_was_info = data[0] == COMMAND_LEAD_BYTE && data[1] == CMD_GET_INFO;
        ++m_reports_in_run;
        const auto strikes = [this](const FaultPoint& point) {
            return point.run == m_run && point.report == m_reports_in_run;
        };
        if (strikes(m_faults.silent)
            || (m_faults.mutedUntilComeBack && m_faults.comeBack && !*m_faults.comeBack)) {
            while (m_controller.takeInputReport(answer.data())) { }
        }
        if (strikes(m_faults.unplug)) {
            // Only the main thread may close ep0; it is blocked reading it until interrupted.
            m_unplug_pending = true;
            while (m_unplug_pending && !m_stopping) {
                pthread_kill(m_main_thread, SIGUSR1);
                usleep(5 * 1000);
            }
            break;
        }
        while (!m_stopping && m_controller.takeInputReport(answer.data())) {
            ssize_t written;
            do {
                written = write(m_ep_in, answer.data(), answer.size());
            } while (written < 0 && errno == EINTR && !m_stopping);
            if (written == static_cast<ssize_t>(answer.size()))
                ++m_replies_delivered;
        }
    }
    m_report_thread_done = true;
}

void UsbHidGadget::closeEndpoints()
{
    if (m_report_thread.joinable()) {
        m_stopping = true;
        while (!m_report_thread_done) {
            pthread_kill(m_report_thread.native_handle(), SIGUSR1);
            usleep(5 * 1000);
        }
        m_report_thread.join();
    }
    if (m_ep_out >= 0)
        close(m_ep_out);
    if (m_ep_in >= 0)
        close(m_ep_in);
    m_ep_out = -1;
    m_ep_in = -1;
}

void UsbHidGadget::detach()
{
    closeEndpoints();
    if (m_ep0 >= 0)
        close(m_ep0);
    m_ep0 = -1;
}

bool UsbHidGadget::ackStatus()
{
    std::uint8_t none = 0;
    // A host that gave up on the request is no reason to leave the bus.
    if (read(m_ep0, &none, 0) < 0)
        std::fprintf(stderr, "gadget: acknowledging a request: %s\n", std::strerror(errno));
    return true;
}

bool UsbHidGadget::stall(bool hostToDevice)
{
    // gadgetfs stalls ep0 when the data stage is attempted in the wrong direction.
    std::uint8_t none = 0;
    if (hostToDevice)
        (void)!write(m_ep0, &none, 0);
    else
        (void)!read(m_ep0, &none, 0);
    return true;
}

bool UsbHidGadget::reply(const void* data, std::size_t size, std::uint16_t hostLength)
{
    const std::size_t count = std::min<std::size_t>(size, hostLength);
    if (write(m_ep0, data, count) < 0)
        std::fprintf(stderr, "gadget: answering on ep0: %s\n", std::strerror(errno));
    return true;
}
