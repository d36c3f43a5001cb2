#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

class VirtualController;

// A full-speed USB HID device made in user space through gadgetfs (on dummy_hcd) that behaves as
// the VirtualController: the kernel enumerates it, binds usbhid and makes a hidraw node, as for the
// physical controller. Once asked to restart it reattaches as the bootloader, taking output
// reports on its interrupt OUT endpoint and answering on IN. Everything that crossed the bus is
// recorded.
class UsbHidGadget {
public:
    struct StringRequest {
        std::uint8_t index = 0;
        std::uint16_t length = 0;
        // What went back to the host; empty when the request was stalled.
        std::vector<std::uint8_t> answer;
        bool stalled = false;
    };
    using Report = std::array<std::uint8_t, 64>;
    struct ReceivedReport {
        Report data{};
        // Which attach (1-based) it arrived in, and when, in microseconds of the monotonic clock.
        int attach = 0;
        std::int64_t micros = 0;
    };
    // The `report`th output report (1-based) of the `run`th flashing run, which starts where the
    // closing page is selected right after an info request. 0 for none.
    struct FaultPoint {
        int run = 0;
        int report = 0;
    };
    struct Faults {
        // The reply to this report is never sent: the device falls silent for one command.
        FaultPoint silent;
        // The device leaves the bus right after this report and comes back in its bootloader,
        // flash as it was, once `comeBack` is set (without one, after replugMs).
        FaultPoint unplug;
        const std::atomic<bool>* comeBack = nullptr;
        unsigned replugMs = 3000;
        // Every reply is withheld until `comeBack` is set: a bootloader that hangs.
        bool mutedUntilComeBack = false;
    };

    UsbHidGadget(VirtualController& controller, std::string gadgetDirectory);
    ~UsbHidGadget();

    UsbHidGadget(const UsbHidGadget&) = delete;
    UsbHidGadget& operator=(const UsbHidGadget&) = delete;

    // Attaches the device and answers ep0 until `stop` is set (a signal interrupts the blocking
    // read) or an error occurs; false on error, with the reason on stderr.
    bool run(const std::atomic<bool>& stop);
    void setFaults(const Faults& faults) { m_faults = faults; }
    // Detaches the device in the only order the kernel survives: interrupt the endpoint I/O,
    // close the endpoint files, then ep0.
    void detach();

    const std::vector<StringRequest>& stringRequests() const { return m_string_requests; }
    // Output reports as the endpoint received them, in order. Valid once detached.
    const std::vector<ReceivedReport>& receivedReports() const { return m_received; }
    // Input reports the host has taken from the IN endpoint.
    int repliesDelivered() const { return m_replies_delivered; }
    // How many times the host was offered a device (the first attach, then each restart).
    int attachCount() const { return m_attach_count; }

private:
    bool attach();
    bool handleSetup(const void* setupPacket);
    bool answerString(std::uint8_t index, std::uint16_t length);
    bool configureEndpoints();
    bool restartIntoBootloader();
    bool replug(const std::atomic<bool>& stop);
    void closeEndpoints();
    void serveReports();
    bool ackStatus();
    bool stall(bool hostToDevice);
    bool reply(const void* data, std::size_t size, std::uint16_t hostLength);
    std::string endpointPath(bool in) const;

    VirtualController& m_controller;
    std::string m_directory;
    int m_ep0 = -1;
    int m_ep_in = -1;
    int m_ep_out = -1;
    std::thread m_report_thread;
    std::atomic<bool> m_report_thread_done{true};
    std::atomic<bool> m_stopping{false};
    pthread_t m_main_thread{};
    Faults m_faults;
    int m_run = 0;
    int m_reports_in_run = 0;
    bool m_last_was_info = false;
    std::atomic<bool> m_unplug_pending{false};

    std::vector<StringRequest> m_string_requests;
    std::vector<ReceivedReport> m_received;
    int m_replies_delivered = 0;
    int m_attach_count = 0;
};
