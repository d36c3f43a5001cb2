// Runs the updater window on a virtual bus until it is closed in the way the first argument
// names, then ends as the program's entry does (window, then application object, polling thread
// left running) and lives on for the second argument's milliseconds, so that the polling thread
// wakes up among the destroyed objects. Prints key=value lines for the test.

#include "VirtualHidAccess.h"
#include "Widget.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

namespace {

// A virtual bus that calls back at the start of every discovery pass and after every report
// write, so that a scenario can act while the GUI thread is inside a pass or a flashing run.
class HookedBus : public VirtualHidAccess {
public:
    std::function<void(int pass)> onPassStart;
    std::function<void(int write)> onWrite;
    int passes = 0;
    int writes = 0;

    HidGuid getHidGuid() override
    {
        ++passes;
        if (onPassStart)
            onPassStart(passes);
        return VirtualHidAccess::getHidGuid();
    }
    bool writeReport(HidHandle handle, const std::uint8_t* report,
                     std::uint32_t* bytesWritten) override
    {
        const bool ok = VirtualHidAccess::writeReport(handle, report, bytesWritten);
        ++writes;
        if (onWrite)
            onWrite(writes);
        return ok;
    }
};

// A click as the window system delivers it: queued, handled when the GUI thread is free again.
void postClick(QWidget* button)
{
    const QPointF centre(button->width() / 2.0, button->height() / 2.0);
    QCoreApplication::postEvent(button,
                                new QMouseEvent(QEvent::MouseButtonPress, centre, Qt::LeftButton,
                                                Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(button,
                                new QMouseEvent(QEvent::MouseButtonRelease, centre, Qt::LeftButton,
                                                Qt::NoButton, Qt::NoModifier));
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: ShutdownProbe <polling|pass|click|flashing|other> <linger-ms>\n");
        return 2;
    }
    const std::string scenario = argv[1];
    const int lingerMs = std::atoi(argv[2]);

    int result = -1;
    bool stopFlagAtExit = false;
    {
        // Made before the window and gone after it, as the window's own bus would be.
        HookedBus bus;
        bus.addForeignInterface(0x046D, 0xC52B);
        bus.setLatency(200, 1000);
        VirtualController& controller = bus.addController();
        controller.setInstalledVersion(0x0116);

        QApplication application(argc, argv);
        Widget window(bus);
        window.show();
        auto* closeButton = window.findChild<QPushButton*>(QStringLiteral("ButtonClose"));
        auto* updateButton = window.findChild<QPushButton*>(QStringLiteral("UpdateBtn"));
        if (!closeButton || !updateButton)
            return 3;

        bool closeSent = false;
        const auto sendClose = [&] {
            if (closeSent)
                return;
            closeSent = true;
            if (scenario == "other")
                window.close();
            else
                postClick(closeButton);
        };
        int runWrites = -1;

        // Wait for the update to be offered (the controller is switched on the first pass and
        // found in its bootloader on the next), then act.
        QTimer watch;
        watch.setInterval(20);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (updateButton->isHidden())
                return;
            watch.stop();
            if (scenario == "polling") {
                // Between two passes, the polling thread asleep.
                QTimer::singleShot(700, [&] { sendClose(); });
            } else if (scenario == "pass") {
                const int closingPass = bus.passes + 1;
                bus.onPassStart = [&, closingPass](int pass) {
                    if (pass == closingPass)
                        sendClose();
                };
            } else if (scenario == "click") {
                postClick(updateButton);
                sendClose();
            } else if (scenario == "flashing") {
                const int firstWrite = bus.writes;
                bus.onWrite = [&, firstWrite](int write) {
                    runWrites = write - firstWrite;
                    if (runWrites == 300)
                        sendClose();
                };
                postClick(updateButton);
            } else {
                sendClose();
            }
        });
        watch.start();

        result = application.exec();
        std::printf("close-sent=%d\n", closeSent ? 1 : 0);
        std::printf("run-writes=%d\n", runWrites);
        std::printf("update-finished=%d\n", window.updateFinished() ? 1 : 0);
        stopFlagAtExit = window.findDeviceThread() && window.findDeviceThread()->m_stop_polling;
        std::printf("stop-flag=%d\n", stopFlagAtExit ? 1 : 0);
        std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));
    std::printf("exit=%d\n", result);
    std::fflush(stdout);
    return result;
}
