// The whole update through a real Linux kernel: Debian's kernel boots under qemu, a USB HID gadget
// (gadgetfs on dummy_hcd) plays the controller, and the updater window, on hidraw and libusb,
// switches it to its bootloader and writes the firmware. The virtual machine reports what the
// window showed, every report it wrote, every report and string request the device received, and
// the device's flash; this test checks them against the image and the flashing order.

#include "FirmwareImage.h"
#include "HidAccessLinux.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>

#include <array>
#include <vector>

namespace {

using Report = std::array<std::uint8_t, 64>;

constexpr int g_runner_deadline_ms = 200000;

Report toReport(const QByteArray& bytes)
{
    Report report{};
    std::copy(bytes.begin(), bytes.begin() + std::min<int>(bytes.size(), 64), report.begin());
    return report;
}

} // namespace

class TestKernelUsbUpdate : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void virtualMachineRanTheWholeScenario();
    void stringSequenceSwitchedTheController();
    void everyWrittenReportReachedTheDeviceUnchanged();
    void reportsFollowTheFlashingOrder();
    void everyCommandGotItsReply();
    void flashHoldsTheImage();
    void windowEndedOnFinish();
    void missingPermissionIsToldOnce();
    void udevRuleOpensTheControllerOnly();

private:
    // The rest of the first line that starts with `tag` and a space.
    QString value(const QString& tag) const;
    // The hex payload of every line that starts with `tag`, in order.
    QList<QByteArray> hexLines(const QString& tag) const;
    QStringList linesStartingWith(const QString& tag) const;

    QStringList m_lines;
    QString m_console;
};

void TestKernelUsbUpdate::initTestCase()
{
    QProcess runner;
    runner.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer clock;
    clock.start();
    runner.start(QStringLiteral("sh"),
                 {QStringLiteral(LUMARO_KERNEL_RUNNER), QStringLiteral(LUMARO_KERNEL_WORK_DIR),
                  QStringLiteral(LUMARO_OFFSCREEN_PLUGIN), QStringLiteral(LUMARO_UDEV_RULE),
                  QStringLiteral(LUMARO_GADGET),
                  QStringLiteral(LUMARO_DRIVER), QStringLiteral(LUMARO_PROBE)});
    QVERIFY2(runner.waitForFinished(g_runner_deadline_ms), "the kernel test runner did not end");
    const QString runnerOutput = QString::fromLocal8Bit(runner.readAll());
    qInfo("kernel test: initramfs and VM took %.1f s; %s", clock.elapsed() / 1000.0,
          qPrintable(runnerOutput.trimmed()));

    QFile console(QStringLiteral(LUMARO_KERNEL_WORK_DIR "/console.log"));
    if (console.open(QIODevice::ReadOnly))
        m_console = QString::fromUtf8(console.readAll());
    QFile results(QStringLiteral(LUMARO_KERNEL_WORK_DIR "/results.txt"));
    if (results.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(results.readAll()).remove(QLatin1Char('\r'));
        m_lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    const bool complete = !m_lines.isEmpty() && m_lines.first() == QLatin1String("vm-begin")
        && m_lines.last() == QLatin1String("vm-end");
    if (runner.exitCode() != 0 || !complete) {
        qWarning("runner output:\n%s\nVM console:\n%s\nresults:\n%s", qPrintable(runnerOutput),
                 qPrintable(m_console), qPrintable(m_lines.mid(0, 60).join(QLatin1Char('\n'))));
    }
    QCOMPARE(runner.exitCode(), 0);
    QVERIFY2(complete, "the VM did not report a complete run");
}

QString TestKernelUsbUpdate::value(const QString& tag) const
{
    const QString prefix = tag + QLatin1Char(' ');
    for (const QString& line : m_lines) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    }
    return QString();
}

QStringList TestKernelUsbUpdate::linesStartingWith(const QString& tag) const
{
    const QString prefix = tag + QLatin1Char(' ');
    QStringList found;
    for (const QString& line : m_lines) {
        if (line.startsWith(prefix))
            found << line.mid(prefix.size());
    }
    return found;
}

QList<QByteArray> TestKernelUsbUpdate::hexLines(const QString& tag) const
{
    QList<QByteArray> payloads;
    for (const QString& line : linesStartingWith(tag))
        payloads << QByteArray::fromHex(line.section(QLatin1Char(' '), -1).toLatin1());
    return payloads;
}

void TestKernelUsbUpdate::virtualMachineRanTheWholeScenario()
{
    QVERIFY(value(QStringLiteral("vm-kernel")).endsWith(QLatin1String("-amd64")));
    QCOMPARE(value(QStringLiteral("probe-rc")), QStringLiteral("0"));
    if (value(QStringLiteral("driver-rc")) != QLatin1String("0"))
        qWarning("driver stderr:\n%s", qPrintable(linesStartingWith(QStringLiteral("driver-stderr")).join('\n')));
    QCOMPARE(value(QStringLiteral("driver-rc")), QStringLiteral("0"));
    QVERIFY(m_lines.contains(QStringLiteral("driver-end")));
    QCOMPARE(value(QStringLiteral("gadget-rc")), QStringLiteral("0"));
    QCOMPARE(value(QStringLiteral("gadget-served")), QStringLiteral("1"));
    QVERIFY(m_lines.contains(QStringLiteral("gadget-end")));
    QCOMPARE(linesStartingWith(QStringLiteral("gadget-stderr")), QStringList());
}

void TestKernelUsbUpdate::stringSequenceSwitchedTheController()
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

void TestKernelUsbUpdate::everyWrittenReportReachedTheDeviceUnchanged()
{
    const QList<QByteArray> written = hexLines(QStringLiteral("write"));
    const QList<QByteArray> received = hexLines(QStringLiteral("report"));
    QVERIFY(!written.isEmpty());
    QCOMPARE(received.size(), written.size());
    for (int i = 0; i < written.size(); ++i) {
        QCOMPARE(written[i].size(), 65);
        QCOMPARE(written[i][0], '\0');
        QCOMPARE(hexBytes(reinterpret_cast<const unsigned char*>(received[i].constData()), 64),
                 hexBytes(reinterpret_cast<const unsigned char*>(written[i].constData()) + 1, 64));
    }
    QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 1, 1),
             QString::number(written.size()));
    QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 3, 3), QStringLiteral("0"));
}

void TestKernelUsbUpdate::reportsFollowTheFlashingOrder()
{
    std::vector<Report> received;
    for (const QByteArray& bytes : hexLines(QStringLiteral("report")))
        received.push_back(toReport(bytes));

    // Discovery passes ask for the version before the click and, from the polling thread's queued
    // signals, after the flash; the flashing itself opens with one more. Count those ahead of the
    // first CMD_SET_PAGE.
    const auto isSetPage = [](const Report& r) {
        return r[0] == 0xA5 && r[1] == 0xE3 && r[2] == 0x5A && r[3] == 0x1C;
    };
    const auto firstSetPage = std::find_if(received.begin(), received.end(), isSetPage);
    QVERIFY(firstSetPage != received.end());
    const std::size_t leadingInfos = static_cast<std::size_t>(firstSetPage - received.begin());
    QVERIFY2(leadingInfos >= 2, "a discovery pass's info request and the flashing's own");
    constexpr std::size_t flashReports = 680; // 681 writes of a run, less its info request
    QVERIFY(received.size() >= leadingInfos + flashReports);
    const std::size_t trailingInfos = received.size() - leadingInfos - flashReports;

    // The output buffer as the window keeps it: zeros, then the text of the switch's last string
    // descriptor (behind its two-byte header) at its start; every command rewrites only its own
    // bytes.
    std::array<std::uint8_t, 65> buffer{};
    const QStringList strings = linesStartingWith(QStringLiteral("string 254 18"));
    QCOMPARE(strings.size(), 1);
    const QByteArray switchData = QByteArray::fromHex(strings[0].section(' ', -1).toLatin1());
    QVERIFY(switchData.size() > 2);
    std::copy(switchData.begin() + 2, switchData.end(), buffer.begin());

    std::vector<Report> expected;
    const auto send = [&] {
        Report r;
        std::copy(buffer.begin() + 1, buffer.end(), r.begin());
        expected.push_back(r);
    };
    const auto command = [&](std::uint8_t code) {
        buffer[0] = 0;
        buffer[1] = 0xA5;
        buffer[2] = code;
        buffer[3] = 0x5A;
        buffer[4] = static_cast<std::uint8_t>(0xFF - code);
    };
    const auto pageCommand = [&](std::uint8_t code, std::uint32_t page, std::uint8_t last) {
        command(code);
        const std::uint32_t address = page * 512;
        for (int i = 0; i < 4; ++i)
            buffer[5 + i] = static_cast<std::uint8_t>(address >> (8 * i));
        buffer[9] = last;
        send();
    };
    const auto chunks = [&](std::uint32_t page) {
        for (std::uint32_t j = 0; j < 8; ++j) {
            std::copy_n(g_firmware_image + page * 512 + j * 64, 64, buffer.begin() + 1);
            send();
        }
    };
    const auto writeAndVerify = [&](std::uint32_t page) {
        pageCommand(0xE3, page, static_cast<std::uint8_t>(page));
        chunks(page);
        command(0xE4);
        send();
        pageCommand(0xE5, page, 0x01);
    };

    for (std::size_t i = 0; i < leadingInfos; ++i) {
        command(0xE1);
        send();
    }
    pageCommand(0xE3, 16, 16);
    chunks(16);
    for (std::uint32_t page = 0; page <= 60; ++page) {
        if (page != 16)
            writeAndVerify(page);
    }
    writeAndVerify(16);
    for (std::size_t i = 0; i < trailingInfos; ++i) {
        command(0xE1);
        send();
    }

    QCOMPARE(expected.size(), received.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != received[i]) {
            QFAIL(qPrintable(QStringLiteral("report %1 of %2 differs:\n expected %3\n received %4")
                                 .arg(i)
                                 .arg(received.size())
                                 .arg(QString::fromLatin1(hexBytes(expected[i].data(), 64)))
                                 .arg(QString::fromLatin1(hexBytes(received[i].data(), 64)))));
        }
    }
    qInfo("reports: %zu version requests before the flash (one of them the flashing's own), "
          "680 flashing reports, %zu version requests after",
          leadingInfos, trailingInfos);
}

void TestKernelUsbUpdate::everyCommandGotItsReply()
{
    // Chunks and pings go unanswered; every other command is answered once, and the window read
    // each answer.
    int commandsWithReply = 0;
    int pending = 0;
    for (const QByteArray& report : hexLines(QStringLiteral("report"))) {
        if (pending > 0) {
            --pending;
            continue;
        }
        const std::uint8_t code = static_cast<std::uint8_t>(report[1]);
        if (code == 0xE3)
            pending = 8;
        if (code == 0xE1 || code == 0xE3 || code == 0xE4 || code == 0xE5)
            ++commandsWithReply;
    }
    QCOMPARE(value(QStringLiteral("gadget-replies")).toInt(), commandsWithReply);
    QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 5, 5).toInt(),
             commandsWithReply);
    QCOMPARE(value(QStringLiteral("driver-transfers")).section(' ', 7, 7), QStringLiteral("0"));
}

void TestKernelUsbUpdate::flashHoldsTheImage()
{
    QByteArray flash;
    for (const QByteArray& line : hexLines(QStringLiteral("flash")))
        flash += line;
    QCOMPARE(flash.size(), int(FIRMWARE_IMAGE_SIZE));
    for (std::size_t page = 0; page < FIRMWARE_PAGE_COUNT; ++page) {
        const QByteArray written = flash.mid(int(page * FIRMWARE_PAGE_SIZE), FIRMWARE_PAGE_SIZE);
        const QByteArray image(reinterpret_cast<const char*>(g_firmware_image)
                                   + page * FIRMWARE_PAGE_SIZE,
                               FIRMWARE_PAGE_SIZE);
        QVERIFY2(written == image, qPrintable(QStringLiteral("page %1 differs").arg(page)));
    }
    // Valid again, with the embedded version: page 16 went in last.
    QCOMPARE(value(QStringLiteral("gadget-version")), QStringLiteral("0117"));
}

void TestKernelUsbUpdate::windowEndedOnFinish()
{
    QCOMPARE(value(QStringLiteral("driver-discovery")).section(' ', 0, 1), QStringLiteral("found 1"));
    QCOMPARE(value(QStringLiteral("driver-offered")), QStringLiteral("update 1 finish 0"));
    QCOMPARE(value(QStringLiteral("driver-final")),
             QStringLiteral("update 0 finish 1 progress 62 finished 1"));
    qInfo("switch and discovery: %s; flash: %s", qPrintable(value("driver-discovery")),
          qPrintable(value("driver-flash")));
}

void TestKernelUsbUpdate::missingPermissionIsToldOnce()
{
    // Run as an unprivileged user on the root-only device nodes the kernel made: the controller is
    // present but cannot be opened, in both passes, and the reason is printed once.
    QCOMPARE(linesStartingWith(QStringLiteral("probe-pass")),
             QStringList({"1 interfaces 1 unopenable 1 opened 0 strings-refused 0",
                          "2 interfaces 1 unopenable 1 opened 0 strings-refused 0"}));
    QCOMPARE(linesStartingWith(QStringLiteral("probe-stderr")),
             QStringList({QString::fromStdString(
                 HidAccessLinux::permissionNotice("/dev/hidraw0"))}));
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

void TestKernelUsbUpdate::udevRuleOpensTheControllerOnly()
{
    // udev's own evaluation of the packaged rule on the devices the kernel made: the controller's
    // hidraw node and USB device in both identities get the seat's access, and nothing else does.
    QCOMPARE(linesStartingWith(QStringLiteral("udev")),
             QStringList({"game-hidraw TAGS=:uaccess:", "game-usb TAGS=:uaccess:",
                          "game-usb-interface TAGS=", "root-hub TAGS=",
                          "bootloader-hidraw TAGS=:uaccess:", "bootloader-usb TAGS=:uaccess:"}));
}

QTEST_GUILESS_MAIN(TestKernelUsbUpdate)
#include "TestKernelUsbUpdate.moc"
