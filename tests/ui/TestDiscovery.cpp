#include "BootloaderProtocol.h"
#include "TestSupport.h"
#include "BusRig.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>

using Kind = VirtualHidAccess::Transfer::Kind;
using Bytes = std::vector<std::uint8_t>;

namespace {

std::vector<std::uint32_t> stringRequestLengths(const VirtualHidAccess& bus)
{
    std::vector<std::uint32_t> lengths;
    for (const auto& transfer : bus.trace()) {
        if (transfer.kind == Kind::StringRequest) {
            if (transfer.index != 254)
                return {};
            lengths.push_back(transfer.length);
        }
    }
    return lengths;
}

// An interface beside the bootloader that the pass must leave alone: ahead of it and not the
// controller, or a controller in normal mode behind it.
enum class Other { Opens, CannotOpen, NoAttributes, NormalModeBehind };

enum class InfoFault { WriteFails, NoReply, WrongLength };

Bytes inReportOf(const Widget& window)
{
    return Bytes(window.inReport(), window.inReport() + kReportSize);
}

} // namespace

Q_DECLARE_METATYPE(Other)
Q_DECLARE_METATYPE(InfoFault)

class TestDiscovery : public QObject {
    Q_OBJECT

private slots:
    void emptyBusShowsNoDevice()
    {
        BusRig rig;
        QVERIFY(!rig.pass());
        QCOMPARE(rig.shownState(), WindowState::NoDevice);
        QVERIFY(rig.window().deviceHandle() == nullptr);
    }

    void bootloaderVersionDecidesWhatIsOffered_data()
    {
        QTest::addColumn<int>("version");
        QTest::addColumn<int>("identifier");
        QTest::addColumn<bool>("isBootloader");
        QTest::addColumn<WindowState>("shown");
        const int bootloader = 0x006D;
        QTest::newRow("blank") << 0xFFFF << bootloader << true << WindowState::UpdateOffered;
        // Named by the version word: a build of another release shows its own gate in the row
        // names.
        const int embedded = int(EMBEDDED_FIRMWARE_VERSION);
        QTest::addRow("0x%04X, one below", embedded - 1)
            << embedded - 1 << bootloader << true << WindowState::UpdateOffered;
        QTest::addRow("0x%04X, the embedded", embedded)
            << embedded << bootloader << true << WindowState::UpToDate;
        QTest::addRow("0x%04X, one above", embedded + 1)
            << embedded + 1 << bootloader << true << WindowState::UpToDate;
        QTest::addRow("0x%04X, the next major", (embedded & 0xFF00) + 0x100)
            << (embedded & 0xFF00) + 0x100 << bootloader << true << WindowState::UpToDate;
        // Fixed words, read whatever the release: both bytes of the version count.
        const auto judged = [&](int version) {
            return version >= embedded ? WindowState::UpToDate : WindowState::UpdateOffered;
        };
        QTest::newRow("1.23") << 0x0123 << bootloader << true << judged(0x0123);
        QTest::newRow("1.16") << 0x0116 << bootloader << true << judged(0x0116);
        // Another identifier is no bootloader's, though the pass still takes its version.
        QTest::newRow("other identifier, 1.16") << 0x0116 << 0x6D00 << false << judged(0x0116);
    }

    void bootloaderVersionDecidesWhatIsOffered()
    {
        QFETCH(int, version);
        QFETCH(int, identifier);
        QFETCH(bool, isBootloader);
        QFETCH(WindowState, shown);
        BusRig rig;
        rig.addBootloader(static_cast<std::uint16_t>(version))
            .setIdentifier(static_cast<std::uint16_t>(identifier));
        rig.progress()->setValue(7);

        QVERIFY(rig.pass());

        QCOMPARE(rig.shownState(), shown);
        const std::uint32_t stored = version == 0xFFFF ? 0u : std::uint32_t(version);
        QCOMPARE(g_device_version, stored);
        // The progress bar is left as it was.
        QCOMPARE(rig.progress()->value(), 7);
        QVERIFY(rig.window().deviceHandle() != nullptr);
        // Asked again, the reply's fields land as the pass read them.
        QCOMPARE(rig.window()._Query_Device_Info(), isBootloader);
        QCOMPARE(g_bootloader_id, std::uint32_t(identifier));
        QCOMPARE(g_device_version, stored);
    }

    void finishedRunKeepsFinishUntilTheControllerLeaves()
    {
        BusRig rig;
        VirtualController& controller = rig.addBootloader(0x0116);
        rig.pass();
        rig.clickUpdateAndFlash();
        QVERIFY(rig.window().updateFinished());

        // Even a controller that claims an older version afterwards keeps Finish while it stays.
        controller.setInstalledVersion(0x0100);
        QVERIFY(rig.pass());
        QCOMPARE(rig.shownState(), WindowState::Finished);

        rig.bus.setPlugged(controller, false);
        QVERIFY(!rig.pass());
        QCOMPARE(rig.shownState(), WindowState::NoDevice);
        QCOMPARE(rig.progress()->value(), 0);

        // Back with an older version: judged by its version alone, the update is offered again.
        rig.bus.setPlugged(controller, true);
        QVERIFY(rig.pass());
        QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
    }

    void normalModeControllerIsSwitched_data()
    {
        QTest::addColumn<int>("failing"); // the string request that fails; 0: none
        QTest::newRow("every request made") << 0;
        QTest::newRow("first fails") << 1;
        QTest::newRow("third fails") << 3;
        QTest::newRow("fifth fails") << 5;
    }

    void normalModeControllerIsSwitched()
    {
        QFETCH(int, failing);
        BusRig rig;
        VirtualController& controller = rig.bus.addController();
        if (failing > 0)
            rig.bus.failStringRequest(failing);

        QVERIFY(!rig.pass());

        // The pause follows the switch, even one that failed unnoticed.
        QCOMPARE(rig.bus.sleptMs(), std::uint64_t(100));
        QCOMPARE(rig.bus.openHandleCount(), 0);
        if (failing > 0) {
            // The switch stops at the first failed request; the controller stays in normal mode.
            QCOMPARE(rig.bus.stringRequestCount(), failing);
            QCOMPARE(controller.mode(), VirtualController::Mode::Normal);
            return;
        }
        QCOMPARE(stringRequestLengths(rig.bus), (std::vector<std::uint32_t>{14, 15, 16, 17, 18}));
        QCOMPARE(rig.shownState(), WindowState::NoDevice);
        QCOMPARE(controller.restartCount(), 0);
        std::vector<std::uint8_t> stringData;
        for (const auto& transfer : rig.bus.trace()) {
            if (transfer.kind == Kind::StringRequest)
                stringData = transfer.bytes;
        }
        const int stringSize = static_cast<int>(stringData.size());
        QVERIFY(stringSize > 5 && stringSize <= 18);
        rig.bus.clearTrace();

        // It comes back in its bootloader by the next pass.
        QVERIFY(rig.pass());
        QCOMPARE(controller.mode(), VirtualController::Mode::Bootloader);
        QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
        QCOMPARE(g_device_version, EMBEDDED_FIRMWARE_VERSION - 1);
        // Past the info request's header stands the string the controller returned to the last
        // request, then zeros.
        const auto reports = rig.bus.writtenReports();
        QCOMPARE(reports.size(), std::size_t(1));
        std::vector<std::uint8_t> expected{0x00, 0xA5, 0xE1, 0x5A, 0x1E};
        expected.insert(expected.end(), stringData.begin() + 5, stringData.end());
        expected.resize(65);
        QCOMPARE(hexBytes(reports[0].data(), 65), hexBytes(expected.data(), 65));
    }

    void otherInterfacesAreSkipped_data()
    {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<Other>("other");
        QTest::newRow("foreign device") << 0x046D << 0xC077 << Other::Opens;
        QTest::newRow("controller vendor, other product") << 0x0079 << 0x0006 << Other::Opens;
        QTest::newRow("bootloader product, other vendor") << 0x0080 << 0x1836 << Other::Opens;
        QTest::newRow("normal-mode product, other vendor") << 0x0080 << 0x18AE << Other::Opens;
        QTest::newRow("cannot be opened") << 0x046D << 0xC077 << Other::CannotOpen;
        QTest::newRow("controller ids that cannot be opened")
            << 0x0079 << 0x1836 << Other::CannotOpen;
        QTest::newRow("opens, attribute query fails") << 0x046D << 0xC077 << Other::NoAttributes;
        QTest::newRow("controller ids, attribute query fails")
            << 0x0079 << 0x1836 << Other::NoAttributes;
        // The pass ends at the bootloader: the controller behind it is not switched.
        QTest::newRow("normal-mode controller behind")
            << 0x0079 << 0x18AE << Other::NormalModeBehind;
    }

    void otherInterfacesAreSkipped()
    {
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(Other, other);
        BusRig rig;
        if (other == Other::Opens)
            rig.bus.addForeignInterface(vendor, product);
        else if (other == Other::CannotOpen)
            rig.bus.addUnopenableInterface(vendor, product);
        else if (other == Other::NoAttributes)
            rig.bus.addAttributelessInterface(vendor, product);
        rig.addBootloader(0x0116);
        if (other == Other::NormalModeBehind)
            rig.bus.addController();

        // Passes come twice a second for as long as the program runs: a handle left behind by each
        // would pile up.
        for (int pass = 0; pass < 50; ++pass)
            QVERIFY(rig.pass());

        QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
        QCOMPARE(rig.bus.foreignWriteCount(), 0);
        QCOMPARE(rig.bus.stringRequestCount(), 0);
        if (other == Other::NormalModeBehind)
            QCOMPARE(rig.bus.controller(1).mode(), VirtualController::Mode::Normal);
        QCOMPARE(rig.bus.openHandleCount(), 1);
        rig.bus.setPlugged(rig.bus.controller(0), false);
        QVERIFY(!rig.pass());
        QCOMPARE(rig.bus.openHandleCount(), 0);
    }

    void normalModeControllerAheadOfABootloaderIsSwitchedFirst()
    {
        BusRig rig;
        rig.bus.addForeignInterface(0x046D, 0xC077);
        VirtualController& normal = rig.bus.addController();
        rig.addBootloader(EMBEDDED_FIRMWARE_VERSION);

        // The switched controller leaves the bus at once; the bootloader behind it takes the index
        // the pass has already looked at, so this pass ends without one.
        QVERIFY(!rig.pass());
        QCOMPARE(rig.bus.stringRequestCount(), 5);
        QCOMPARE(rig.bus.openHandleCount(), 0);

        // Both are bootloaders now; the pass keeps the first, one below the embedded version, and
        // leaves the other, which is current, alone.
        rig.bus.clearTrace();
        QVERIFY(rig.pass());
        QCOMPARE(normal.mode(), VirtualController::Mode::Bootloader);
        QCOMPARE(rig.bus.openHandleCount(), 1);
        QCOMPARE(rig.bus.writeCount(), 1);
        QCOMPARE(rig.shownState(), WindowState::UpdateOffered);

        // One handle is held per pass, whichever controller is left.
        for (int pass = 0; pass < 4; ++pass) {
            QVERIFY(rig.pass());
            QCOMPARE(rig.bus.openHandleCount(), 1);
        }
        rig.bus.setPlugged(rig.bus.controller(0), false);
        QVERIFY(rig.pass());
        QCOMPARE(rig.bus.openHandleCount(), 1);
        rig.bus.setPlugged(rig.bus.controller(1), false);
        QVERIFY(!rig.pass());
        QCOMPARE(rig.bus.openHandleCount(), 0);
    }

    void faultyInfoQueryKeepsTheStoredVersion_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<InfoFault>("fault");
        QTest::addColumn<int>("length"); // of a reply that does not fill a report
        for (int stored : {0x0116, int(EMBEDDED_FIRMWARE_VERSION)}) {
            const char* name = stored == 0x0116 ? "older version stored" : "current version stored";
            QTest::addRow("%s, write fails", name) << stored << InfoFault::WriteFails << 0;
            QTest::addRow("%s, no reply", name) << stored << InfoFault::NoReply << 0;
            for (int length : {0, 1, 8, 63, 65, 128})
                QTest::addRow("%s, %d bytes", name, length)
                    << stored << InfoFault::WrongLength << length;
        }
    }

    void faultyInfoQueryKeepsTheStoredVersion()
    {
        QFETCH(int, stored);
        QFETCH(InfoFault, fault);
        QFETCH(int, length);
        BusRig rig;
        // The input buffer and the controller both say the opposite of the stored version: parsing
        // the buffer, or taking a faulty reply as a whole one, would change the decision.
        const std::uint16_t opposite = stored == 0x0116 ? EMBEDDED_FIRMWARE_VERSION : 0x0116;
        rig.addBootloader(opposite);
        QVERIFY(rig.pass());
        QCOMPARE(g_device_version, std::uint32_t(opposite));
        g_device_version = std::uint32_t(stored);
        const Bytes before = inReportOf(rig.window());
        rig.bus.clearTrace();
        if (fault == InfoFault::WriteFails)
            rig.bus.failWrite(1);
        else if (fault == InfoFault::NoReply)
            rig.bus.neverAnswerRead(1);
        else
            rig.bus.garbageReply(1, garbagePattern(std::size_t(length)));
        QElapsedTimer timer;
        timer.start();

        QVERIFY(rig.pass());

        // A controller that does not answer holds the window only for the read bound (20 ms here);
        // the limit leaves room for a saturated machine.
        QVERIFY(timer.elapsed() < 5000);
        // No read follows a failed write.
        QCOMPARE(rig.bus.readCount(), fault == InfoFault::WriteFails ? 0 : 1);
        QCOMPARE(inReportOf(rig.window()), before);
        QCOMPARE(g_device_version, std::uint32_t(stored));
        QCOMPARE(rig.shownState(),
                 stored == 0x0116 ? WindowState::UpdateOffered : WindowState::UpToDate);
    }

    void pollingThreadAsksForPassesAndStops()
    {
        CFindDeviceThread polling;
        std::atomic<int> passes{0};
        std::atomic<bool> passesTaken{false};
        connect(
            &polling, &CFindDeviceThread::FindDevice_Signal, this,
            [&] {
                ++passes;
                if (passesTaken)
                    polling.passEnded();
            },
            Qt::DirectConnection);
        QElapsedTimer timer;
        timer.start();
        polling.start();
        // The first request comes at once. Until its pass has ended, however long, no other is
        // made.
        QTRY_VERIFY_WITH_TIMEOUT(passes.load() >= 1, 10000);
        QTest::qWait(3 * int(CFindDeviceThread::kPollingPeriodMs));
        QCOMPARE(passes.load(), 1);
        // Once a pass has ended the next request comes within a period.
        passesTaken = true;
        timer.restart();
        polling.passEnded();
        QTRY_VERIFY_WITH_TIMEOUT(passes.load() >= 2, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(passes.load() >= 3, 10000);
        QVERIFY(timer.elapsed() >= 450);

        // The thread ends within a period of the flag; the bound only tells a stop from a hang,
        // with room for a saturated machine.
        const int passesAtStop = passes.load();
        polling.m_stop_polling = true;
        QVERIFY(polling.wait(10000));
        QVERIFY(passes.load() <= passesAtStop + 1);
    }

    // Nothing owns the polling thread; once it has ended, its object must not outlive it.
    void endedPollingThreadIsDeleted()
    {
        BusRig rig;
        QPointer<CFindDeviceThread> polling = rig.window().findDeviceThread();
        QVERIFY(polling);
        QVERIFY(polling->isFinished());
        QTRY_VERIFY_WITH_TIMEOUT(polling.isNull(), 10000);
        QVERIFY(!rig.window().findDeviceThread());
        // The window works on without it.
        rig.addBootloader(0x0116);
        QVERIFY(rig.pass());
    }
};

QTEST_MAIN(TestDiscovery)
#include "TestDiscovery.moc"
