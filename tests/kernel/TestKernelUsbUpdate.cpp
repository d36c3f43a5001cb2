// The whole update through a real Linux kernel: Debian's kernel boots under qemu, a USB HID gadget
// (gadgetfs on dummy_hcd) plays the controller, and the updater window, on hidraw and libusb,
// switches it to its bootloader and writes the firmware. The virtual machine reports what the
// window showed, every report it wrote, every report and string request the device received, and
// the device's flash; this test checks them against the image and the flashing order.

#include "FirmwareImage.h"
#include "FlashingReports.h"
#include "HidAccessLinux.h"
#include "KernelRunResults.h"

#include <QTest>

#include <vector>

namespace {

using Report = FlashingOrder::Report;

constexpr int g_runner_deadline_ms = 200000;

} // namespace

class TestKernelUsbUpdate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString failure = m_results.runScenario(
            QStringLiteral("update"),
            {QStringLiteral(LUMARO_UDEV_RULE), QStringLiteral(LUMARO_PROBE)}, g_runner_deadline_ms);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void virtualMachineRanTheWholeScenario()
    {
        QVERIFY(value(QStringLiteral("vm-kernel")).endsWith(QLatin1String("-amd64")));
        QCOMPARE(value(QStringLiteral("probe-rc")), QStringLiteral("0"));
        if (value(QStringLiteral("driver-rc")) != QLatin1String("0"))
            qWarning("driver stderr:\n%s",
                     qPrintable(linesStartingWith(QStringLiteral("driver-stderr")).join('\n')));
        QCOMPARE(value(QStringLiteral("driver-rc")), QStringLiteral("0"));
        QVERIFY(m_results.contains(QStringLiteral("driver-end")));
        QCOMPARE(value(QStringLiteral("gadget-rc")), QStringLiteral("0"));
        QCOMPARE(value(QStringLiteral("gadget-served")), QStringLiteral("1"));
        QVERIFY(m_results.contains(QStringLiteral("gadget-end")));
        QCOMPARE(linesStartingWith(QStringLiteral("gadget-stderr")), QStringList());
    }

    void stringSequenceSwitchedTheController()
    {
        // The kernel reads the game-mode strings when it enumerates; the updater asks only for 254.
        QStringList switchLengths;
        QList<QByteArray> answers;
        for (const QString& request : linesStartingWith(QStringLiteral("string"))) {
            const QStringList fields = request.split(QLatin1Char(' '));
            QVERIFY2(fields.size() >= 3, qPrintable(request));
            if (fields[0] != QLatin1String("254"))
                continue;
            QCOMPARE(fields[2], QStringLiteral("data"));
            switchLengths << fields[1];
            answers << QByteArray::fromHex(fields.value(3).toLatin1());
        }
        QCOMPARE(switchLengths, QStringList({"14", "15", "16", "17", "18"}));
        // The device answered each with as much of one descriptor as the request's length allowed.
        for (int i = 0; i < answers.size(); ++i) {
            QCOMPARE(answers[i].size(), std::min(14 + i, int(std::uint8_t(answers.last()[0]))));
            QVERIFY(answers.last().startsWith(answers[i]));
        }
        QCOMPARE(value(QStringLiteral("driver-string-requests")), QStringLiteral("5"));
        QCOMPARE(value(QStringLiteral("gadget-attaches")), QStringLiteral("2"));
        QCOMPARE(value(QStringLiteral("gadget-mode")), QStringLiteral("bootloader"));
    }

    void everyWrittenReportReachedTheDeviceUnchanged()
    {
        const QString difference = m_results.writtenDifference();
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 1, 1),
                 QString::number(hexLines(QStringLiteral("write")).size()));
        QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 3, 3), QStringLiteral("0"));
    }

    void reportsFollowTheFlashingOrder()
    {
        const std::vector<Report> received = m_results.receivedReports();

        // Discovery passes ask for the version before the click and, from the polling thread's
        // queued signals, after the flash; the flashing itself opens with one more. Count those
        // ahead of the first CMD_SET_PAGE.
        const std::vector<std::size_t> runStarts = FlashingOrder::runStarts(received);
        QCOMPARE(int(runStarts.size()), 1);
        const std::size_t leadingInfos = runStarts.front();
        QVERIFY2(leadingInfos >= 3,
                 "a discovery pass's info request, the one left unanswered and the flashing's own");
        const std::size_t runReports = FlashingOrder::runReports();
        QVERIFY(received.size() >= leadingInfos + runReports);
        const std::size_t trailingInfos = received.size() - leadingInfos - runReports;

        // The output buffer as the window keeps it: zeros, then the text of the switch's last
        // string descriptor (behind its two-byte header) at its start.
        const QStringList strings = linesStartingWith(QStringLiteral("string 254 18"));
        QCOMPARE(strings.size(), 1);
        const QByteArray switchData = QByteArray::fromHex(strings[0].section(' ', -1).toLatin1());
        QVERIFY(switchData.size() > 2);
        FlashingReports model(std::vector<std::uint8_t>(switchData.begin() + 2, switchData.end()));
        for (std::size_t i = 0; i < leadingInfos; ++i)
            model.info();
        model.run();
        for (std::size_t i = 0; i < trailingInfos; ++i)
            model.info();

        const QString difference = FlashingReports::difference(model.received(), received);
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        qInfo("reports: %zu version requests before the flash (one of them the flashing's own), "
              "%zu flashing reports, %zu version requests after",
              leadingInfos, runReports, trailingInfos);
    }

    void everyCommandGotItsReply()
    {
        // Every command but the chunks is answered once, and the window read each answer but the
        // one left unread before the run, which the run emptied from the input queue instead of
        // taking it for the answer to its first command.
        QCOMPARE(value(QStringLiteral("driver-unread-reply")), QStringLiteral("1"));
        const int commandsWithReply = FlashingOrder::commandsWithReply(m_results.receivedReports());
        QCOMPARE(value(QStringLiteral("gadget-replies")).toInt(), commandsWithReply);
        QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 5, 5).toInt(),
                 commandsWithReply - 1);
        QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 7, 7), QStringLiteral("0"));
    }

    void flashHoldsTheImage()
    {
        const QString difference = m_results.flashDifference();
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        // Valid again, with the embedded version: page 16 went in last. It came with the one
        // before.
        const auto word = [](std::uint32_t version) {
            return QString::number(version, 16).toUpper().rightJustified(4, QLatin1Char('0'));
        };
        QCOMPARE(value(QStringLiteral("gadget-installed")), word(EMBEDDED_FIRMWARE_VERSION - 1));
        QCOMPARE(value(QStringLiteral("gadget-version")), word(EMBEDDED_FIRMWARE_VERSION));
    }

    void windowEndedOnFinish()
    {
        QCOMPARE(value(QStringLiteral("driver-discovery")).section(' ', 0, 1),
                 QStringLiteral("found 1"));
        QCOMPARE(value(QStringLiteral("driver-offered")), QStringLiteral("update 1 finish 0"));
        QCOMPARE(value(QStringLiteral("driver-final")),
                 QStringLiteral("update 0 finish 1 progress 62 finished 1"));
        qInfo("switch and discovery: %s; flash: %s", qPrintable(value("driver-discovery")),
              qPrintable(value("driver-flash")));
    }

    void missingPermissionIsToldOnce()
    {
        // Run as an unprivileged user on the root-only device nodes the kernel made: the controller
        // is present but cannot be opened, in both passes, and the reason is printed once.
        QCOMPARE(linesStartingWith(QStringLiteral("probe-pass")),
                 QStringList({"1 interfaces 1 unopenable 1 opened 0 strings-refused 0",
                              "2 interfaces 1 unopenable 1 opened 0 strings-refused 0"}));
        QCOMPARE(linesStartingWith(QStringLiteral("probe-stderr")),
                 QStringList(
                     {QString::fromStdString(HidAccessLinux::permissionNotice("/dev/hidraw0"))}));
        // With the hidraw node open to all, the string requests of the switch are what the missing
        // permission on the USB node stops; it never reaches the device (the switch test sees only
        // the updater's five requests).
        QCOMPARE(linesStartingWith(QStringLiteral("usb-probe-pass")),
                 QStringList({"1 interfaces 1 unopenable 0 opened 1 strings-refused 1",
                              "2 interfaces 1 unopenable 0 opened 1 strings-refused 1"}));
        QCOMPARE(linesStartingWith(QStringLiteral("usb-probe-stderr")),
                 QStringList({QString::fromStdString(
                     HidAccessLinux::permissionNotice("/dev/bus/usb/001/002"))}));
    }

    void udevRuleOpensTheControllerOnly()
    {
        // udev's own evaluation of the packaged rule on the devices the kernel made: the
        // controller's hidraw node and USB device in both identities get the seat's access, and
        // nothing else does.
        QCOMPARE(
            linesStartingWith(QStringLiteral("udev")),
            QStringList({"game-hidraw TAGS=:uaccess: seat-access=yes",
                         "game-usb TAGS=:uaccess: seat-access=yes",
                         "game-usb-interface TAGS= seat-access=no", "root-hub TAGS= seat-access=no",
                         "bootloader-hidraw TAGS=:uaccess: seat-access=yes",
                         "bootloader-usb TAGS=:uaccess: seat-access=yes"}));
    }

private:
    QString value(const QString& tag) const { return m_results.value(tag); }
    QStringList linesStartingWith(const QString& tag) const
    {
        return m_results.linesStartingWith(tag);
    }
    QList<QByteArray> hexLines(const QString& tag) const { return m_results.hexLines(tag); }

    KernelRunResults m_results{QStringLiteral(LUMARO_KERNEL_WORK_DIR)};
};

QTEST_GUILESS_MAIN(TestKernelUsbUpdate)
#include "TestKernelUsbUpdate.moc"
