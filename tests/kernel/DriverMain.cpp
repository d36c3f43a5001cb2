// The updater window on the platform's real HID stack inside the kernel test's VM: discovery
// passes until the bootloader is found, a click on Update, then the event loop until the finish
// indicator shows. Before the click it leaves a reply unread on the window's handle, which the run
// must empty rather than take for an answer. Prints what it saw and every report it wrote; exits 0
// when the window ended on Finish.
//
//   lumaro-kernel-driver [faults | idle | hold=MS | watch] [unguarded]
//
// idle: a copy left open, nothing clicked, until killed. hold=MS: that long between finding the
// bootloader and the click, for a second copy to come up. unguarded: skips the one-copy guard.
// watch: beside a device that withholds every reply, the event loop's longest gap over 20 s; once
// the device answers, the controller found up to date, Tab to the finish indicator, focus changes
// and shows or hides over 5 s of passes, then Close and how long the event loop takes to end.
// faults: the device falls silent in the first run and is unplugged in the second; each run must
// end with the update offered again, and the third finish.

#include "BootloaderProtocol.h"
#include "CFindDeviceThread.h"
#include "ForwardingHidAccess.h"
#include "HexLine.h"
#include "PlatformHidAccess.h"
#include "SingleInstance.h"
#include "WindowRig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>

namespace {

constexpr qint64 g_discovery_deadline_ms = 60000;
constexpr qint64 g_flash_deadline_ms = 120000;
// Long enough for the polling thread to run a pass or two after the flash.
constexpr int g_settle_ms = 1200;
// Far longer than the device takes to answer.
constexpr auto g_reply_settle = std::chrono::milliseconds(300);

// An info request written on the window's handle whose reply nobody reads.
bool leaveUnreadReply(Widget& window, HidAccess& hid)
{
    // From the window's own buffer, as the window would send it.
    std::uint8_t report[kReportSize];
    std::copy(window.outReport(), window.outReport() + kReportSize, report);
    writeCommandHeader(report, CMD_GET_INFO);
    std::uint32_t written = 0;
    const bool sent = hid.writeReport(window.deviceHandle(), report, &written);
    // The GUI thread sleeps, so no pass runs meanwhile; the passes asked for are dropped, as each
    // would reopen the handle, which empties the queue too.
    std::this_thread::sleep_for(g_reply_settle);
    QCoreApplication::removePostedEvents(&window, QEvent::MetaCall);
    // No pass will answer the request dropped here: the polling thread may ask again.
    if (CFindDeviceThread* polling = window.findDeviceThread())
        polling->passEnded();
    return sent;
}

class Driver {
public:
    Driver(WindowRig& rig, ForwardingHidAccess& hid)
        : m_rig(rig)
        , m_hid(hid)
    {
    }

    // Passes of its own until one finds the bootloader (or, with `present` false, until one
    // finds none); prints how many passes that took.
    bool discover(const char* tag, bool present = true)
    {
        QElapsedTimer clock;
        clock.start();
        int passes = 0;
        bool found = !present;
        while (found != present && clock.elapsed() < g_discovery_deadline_ms) {
            ++passes;
            found = m_rig.pass();
            if (found != present)
                QTest::qWait(100);
        }
        std::printf("%s found %d passes %d ms %lld\n", tag, found ? 1 : 0, passes, clock.elapsed());
        return found == present;
    }

    // Clicks Update and waits until the run ends: on Finish, on the first failed transfer, or on
    // Update offered again (a run that a wrong reply ended).
    void runUntilEnd(const char* tag)
    {
        const int failuresBefore = failures();
        QElapsedTimer clock;
        clock.start();
        QTest::mouseClick(m_rig.updateButton(), Qt::LeftButton);
        bool updateHidden = false;
        while (!m_rig.finish()->isVisible() && failures() == failuresBefore
               && !(updateHidden && offered()) && clock.elapsed() < g_flash_deadline_ms) {
            QTest::qWait(20);
            updateHidden = updateHidden || !offered();
        }
        std::printf("%s ms %lld failed-writes %d failed-reads %d last-failed-read-ms %lld\n", tag,
                    clock.elapsed(), m_hid.failedWrites(), m_hid.failedReads(),
                    m_hid.lastFailedReadMs());
    }

    // Whether the polling thread's passes bring the Update button back within `deadline` ms.
    void waitForOffer(const char* tag, qint64 deadline)
    {
        QElapsedTimer clock;
        clock.start();
        while (!offered() && clock.elapsed() < deadline)
            QTest::qWait(20);
        std::printf("%s offered %d ms %lld\n", tag, offered() ? 1 : 0, clock.elapsed());
    }

private:
    int failures() const { return m_hid.failedReads() + m_hid.failedWrites(); }
    bool offered() const { return m_rig.shownState() == WindowState::UpdateOffered; }

    WindowRig& m_rig;
    ForwardingHidAccess& m_hid;
};

// Counts what a person or a screen reader would notice of a widget: focus moving, a widget shown
// or hidden.
class ChangeCounter : public QObject {
public:
    int focusChanges = 0;
    int visibilityChanges = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched->isWidgetType()) {
            focusChanges += event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut;
            visibilityChanges += event->type() == QEvent::Show || event->type() == QEvent::Hide;
        }
        return false;
    }
};

int watch(WindowRig& rig)
{
    Widget& window = rig.window();
    constexpr int kStartMs = 2000, kMutedMs = 20000, kSteadyMs = 5000;
    QElapsedTimer sinceTick;
    qint64 longestGapMs = 0;
    QTimer ticker;
    ticker.setInterval(10);
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGapMs = std::max(longestGapMs, sinceTick.restart()); });
    sinceTick.start();
    ticker.start();
    const auto runFor = [](int ms) {
        QEventLoop loop;
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    };
    // Qt's first paint and font set-up, slow in the emulated machine, are not the passes'.
    runFor(kStartMs);
    const qint64 startGapMs = longestGapMs;
    longestGapMs = 0;
    runFor(kMutedMs);
    std::printf("watch-muted longest-gap-ms %lld start-gap-ms %lld\n", longestGapMs, startGapMs);
    std::printf("watch-answer-now\n");

    const auto upToDate = [&rig] { return rig.shownState() == WindowState::UpToDate; };
    QElapsedTimer clock;
    clock.start();
    while (!upToDate() && clock.elapsed() < 10000)
        runFor(20);
    std::printf("watch-found finish %d ms %lld\n", upToDate() ? 1 : 0, clock.elapsed());

    window.activateWindow();
    const bool active = QTest::qWaitForWindowActive(&window);
    QTest::keyClick(&window, Qt::Key_Tab);
    const bool focused = active && QApplication::focusWidget() == rig.finish();
    int passes = 0;
    QObject::connect(window.findDeviceThread(), &CFindDeviceThread::FindDevice_Signal, &window,
                     [&passes] { ++passes; });
    ChangeCounter changes;
    qApp->installEventFilter(&changes);
    longestGapMs = 0;
    sinceTick.restart();
    runFor(kSteadyMs);
    qApp->removeEventFilter(&changes);
    std::printf("watch-steady focused %d passes %d focus-changes %d visibility-changes %d "
                "longest-gap-ms %lld\n",
                focused ? 1 : 0, passes, changes.focusChanges, changes.visibilityChanges,
                longestGapMs);

    QElapsedTimer sinceClose;
    QTimer::singleShot(0, &window, [&] {
        sinceClose.start();
        window.findChild<QPushButton*>("ButtonClose")->click();
    });
    const int exitCode = QApplication::exec();
    std::printf("watch-close rc %d ms %lld\n", exitCode, sinceClose.elapsed());
    return exitCode;
}

} // namespace

int main(int argc, char** argv)
{
    // Each line as it happens: a run cut short by the VM's watchdog still shows how far it got.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // As the program does: a later copy hands over to the first before anything opens a device.
    std::optional<SingleInstance> instance;
    if (!(argc > 2 && std::strcmp(argv[2], "unguarded") == 0)) {
        instance.emplace();
        if (!instance->isFirst()) {
            std::printf("driver-later-copy reached %d\n", instance->askFirstToRaise() ? 1 : 0);
            return 0;
        }
    }
    QApplication app(argc, argv);
    const bool faults = argc > 1 && std::strcmp(argv[1], "faults") == 0;
    const bool idle = argc > 1 && std::strcmp(argv[1], "idle") == 0;
    int holdMs = 0;
    if (argc > 1)
        std::sscanf(argv[1], "hold=%d", &holdMs);
    const std::unique_ptr<HidAccess> platformHid = createPlatformHidAccess();
    ForwardingHidAccess hid(*platformHid);
    WindowRig rig(hid, WindowRig::Polling::Running);
    Widget& window = rig.window();
    if (instance) {
        instance->raiseOnRequest(window);
        QObject::connect(&*instance, &SingleInstance::raiseRequested,
                         [] { std::printf("driver-raise-requested\n"); });
    }
    window.show();
    if (idle) {
        std::printf("driver-idle %lld\n", QCoreApplication::applicationPid());
        return app.exec();
    }
    if (argc > 1 && std::strcmp(argv[1], "watch") == 0)
        return watch(rig);

    Driver driver(rig, hid);
    QPushButton* update = rig.updateButton();
    QPushButton* finish = rig.finish();
    QProgressBar* progress = rig.progress();
    if (!update || !finish || !progress) {
        std::printf("driver-error form widgets missing\n");
        return 3;
    }

    bool found = driver.discover("driver-discovery");
    std::printf("driver-string-requests %d\n", hid.stringRequests());
    std::printf("driver-offered update %d finish %d\n", update->isVisible() ? 1 : 0,
                finish->isVisible() ? 1 : 0);
    if (found)
        std::printf("driver-unread-reply %d\n", leaveUnreadReply(window, hid) ? 1 : 0);
    if (found && faults) {
        // The device drops one reply: the bounded read gives the window back, the next pass offers
        // the update again.
        driver.runUntilEnd("driver-silent-run");
        driver.waitForOffer("driver-silent-after", 10000);
        // The device leaves mid-page: transfers fail, passes find nothing until it is back.
        driver.runUntilEnd("driver-unplug-run");
        found = driver.discover("driver-unplug-gone", false);
        // The VM plugs the device back in when the window has seen it gone.
        std::printf("driver-wants-replug\n");
        found = found && driver.discover("driver-unplug-back") && update->isVisible();
    }

    bool finished = false;
    if (found && holdMs > 0)
        QTest::qWait(holdMs);
    if (found && update->isVisible()) {
        driver.runUntilEnd("driver-flash");
        QTest::qWait(g_settle_ms);
        finished = rig.shownState() == WindowState::Finished;
    }
    std::printf("driver-final update %d finish %d progress %d finished %d\n",
                update->isVisible() ? 1 : 0, finish->isVisible() ? 1 : 0, progress->value(),
                window.updateFinished() ? 1 : 0);
    std::printf("driver-transfers written %zu failed-writes %d reads %d failed-reads %d\n",
                hid.writtenReports().size(), hid.failedWrites(), hid.successfulReads(),
                hid.failedReads());
    for (const ForwardingHidAccess::Report& report : hid.writtenReports())
        printHexLine(stdout, "write", report.data(), report.size());

    // Stop polling and let the thread end before the window goes.
    QPointer<CFindDeviceThread> polling = window.findDeviceThread();
    window.onButtonCloseClicked();
    if (polling)
        polling->wait(2000);
    std::printf("driver-end\n");
    std::fflush(stdout);
    return finished ? 0 : 1;
}
