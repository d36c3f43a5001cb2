// The updater window on the real Linux HID stack, inside the test's virtual machine: discovery
// passes until the gadget has been switched into its bootloader and found there, a click on
// Update, then the event loop until the finish indicator shows. Prints what it saw and every
// report it wrote; exits 0 when the window ended on Finish.

#include "CFindDeviceThread.h"
#include "ForwardingHidAccess.h"
#include "HidAccessLinux.h"
#include "Widget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <cstdio>

namespace {

constexpr qint64 g_discovery_deadline_ms = 20000;
constexpr qint64 g_flash_deadline_ms = 60000;
// Long enough for the polling thread to run a pass or two after the flash.
constexpr int g_settle_ms = 1200;

void printReport(const char* tag, const std::uint8_t* bytes, std::size_t size)
{
    std::printf("%s", tag);
    for (std::size_t i = 0; i < size; ++i)
        std::printf("%s%02X", i ? "" : " ", bytes[i]);
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    HidAccessLinux linuxHid;
    ForwardingHidAccess hid(linuxHid);
    Widget window(hid);
    window.show();

    auto* update = window.findChild<QPushButton*>("UpdateBtn");
    auto* finish = window.findChild<QPushButton*>("Finish");
    auto* progress = window.findChild<QProgressBar*>("m_update_progress");
    if (!update || !finish || !progress) {
        std::printf("driver-error form widgets missing\n");
        return 3;
    }

    QElapsedTimer clock;
    clock.start();
    int passes = 0;
    bool found = false;
    while (!found && clock.elapsed() < g_discovery_deadline_ms) {
        ++passes;
        found = window._Open_Update_device();
        if (!found)
            QTest::qWait(100);
    }
    std::printf("driver-discovery found %d passes %d ms %lld\n", found ? 1 : 0, passes,
                static_cast<long long>(clock.elapsed()));
    std::printf("driver-string-requests %d\n", hid.stringRequests());
    std::printf("driver-offered update %d finish %d\n", update->isVisible() ? 1 : 0,
                finish->isVisible() ? 1 : 0);

    bool finished = false;
    if (found && update->isVisible()) {
        clock.restart();
        QTest::mouseClick(update, Qt::LeftButton);
        while (!finish->isVisible() && clock.elapsed() < g_flash_deadline_ms)
            QTest::qWait(20);
        std::printf("driver-flash ms %lld\n", static_cast<long long>(clock.elapsed()));
        QTest::qWait(g_settle_ms);
        finished = finish->isVisible() && !update->isVisible() && window.updateFinished();
    }
    std::printf("driver-final update %d finish %d progress %d finished %d\n",
                update->isVisible() ? 1 : 0, finish->isVisible() ? 1 : 0, progress->value(),
                window.updateFinished() ? 1 : 0);
    std::printf("driver-transfers written %zu failed-writes %d reads %d failed-reads %d\n",
                hid.writtenReports().size(), hid.failedWrites(), hid.successfulReads(),
                hid.failedReads());
    for (const ForwardingHidAccess::Report& report : hid.writtenReports())
        printReport("write", report.data(), report.size());

    // Stop polling and let the thread end before the window goes.
    QPointer<CFindDeviceThread> polling = window.findDeviceThread();
    window.onButtonCloseClicked();
    if (polling)
        polling->wait(2000);
    std::printf("driver-end\n");
    std::fflush(stdout);
    return finished ? 0 : 1;
}
