#include "BootloaderProtocol.h"
#include "TestSupport.h"
#include "BusRig.h"

#include <QElapsedTimer>
#include <QtTest>

#include <atomic>

using Kind = VirtualHidAccess::Transfer::Kind;

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

// An interface ahead of the controller that is not it.
enum class Other { Opens, CannotOpen, NoAttributes };

} // namespace

Q_DECLARE_METATYPE(Other)

class TestDiscovery : public QObject {
    Q_OBJECT

private slots:
    void emptyBusShowsNoDevice();
    void bootloaderVersionDecidesWhatIsOffered_data();
    void bootloaderVersionDecidesWhatIsOffered();
    void finishedRunKeepsFinishUntilTheControllerLeaves();
    void normalModeControllerIsSwitched_data();
    void normalModeControllerIsSwitched();
    void switchStringStaysInTheNextInfoRequest();
    void otherInterfacesAreSkipped_data();
    void otherInterfacesAreSkipped();
    void bootloaderAheadOfANormalModeControllerEndsThePass();
    void normalModeControllerAheadOfABootloaderIsSwitchedFirst();
    void oneHandleIsHeldPerPass();
    void failedInfoQueryKeepsTheStoredVersion();
    void infoReplyFields_data();
    void infoReplyFields();
    void pollingThreadAsksForPassesAndStops();
    void endedPollingThreadIsDeleted();
};

void TestDiscovery::emptyBusShowsNoDevice()
{
    BusRig rig;
    QVERIFY(!rig.pass());
    QCOMPARE(rig.shownState(), WindowState::NoDevice);
    QVERIFY(rig.window().deviceHandle() == nullptr);
}

void TestDiscovery::bootloaderVersionDecidesWhatIsOffered_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<WindowState>("shown");
    QTest::newRow("blank") << 0xFFFF << WindowState::UpdateOffered;
    // Named by the version word: a build of another release shows its own gate in the row names.
    const int embedded = int(EMBEDDED_FIRMWARE_VERSION);
    QTest::addRow("0x%04X, one below", embedded - 1) << embedded - 1 << WindowState::UpdateOffered;
    QTest::addRow("0x%04X, the embedded", embedded) << embedded << WindowState::UpToDate;
    QTest::addRow("0x%04X, one above", embedded + 1) << embedded + 1 << WindowState::UpToDate;
    QTest::addRow("0x%04X, the next major", (embedded & 0xFF00) + 0x100)
        << (embedded & 0xFF00) + 0x100 << WindowState::UpToDate;
}

void TestDiscovery::bootloaderVersionDecidesWhatIsOffered()
{
    QFETCH(int, version);
    QFETCH(WindowState, shown);
    BusRig rig;
    rig.addBootloader(static_cast<std::uint16_t>(version));
    rig.progress()->setValue(7);

    QVERIFY(rig.pass());

    QCOMPARE(rig.shownState(), shown);
    QCOMPARE(g_device_version, version == 0xFFFF ? 0u : std::uint32_t(version));
    // The progress bar is left as it was.
    QCOMPARE(rig.progress()->value(), 7);
    QVERIFY(rig.window().deviceHandle() != nullptr);
}

void TestDiscovery::finishedRunKeepsFinishUntilTheControllerLeaves()
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

void TestDiscovery::normalModeControllerIsSwitched_data()
{
    QTest::addColumn<int>("failing"); // the string request that fails; 0: none
    QTest::newRow("every request made") << 0;
    QTest::newRow("first fails") << 1;
    QTest::newRow("third fails") << 3;
    QTest::newRow("fifth fails") << 5;
}

void TestDiscovery::normalModeControllerIsSwitched()
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

    // It comes back in its bootloader by the next pass.
    QVERIFY(rig.pass());
    QCOMPARE(controller.mode(), VirtualController::Mode::Bootloader);
    QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
    QCOMPARE(g_device_version, EMBEDDED_FIRMWARE_VERSION - 1);
}

void TestDiscovery::switchStringStaysInTheNextInfoRequest()
{
    BusRig rig;
    rig.bus.addController();
    rig.pass();
    std::vector<std::uint8_t> stringData;
    for (const auto& transfer : rig.bus.trace()) {
        if (transfer.kind == Kind::StringRequest)
            stringData = transfer.bytes;
    }
    const int stringSize = static_cast<int>(stringData.size());
    QVERIFY(stringSize > 5 && stringSize <= 18);
    rig.bus.clearTrace();

    QVERIFY(rig.pass());

    const auto reports = rig.bus.writtenReports();
    QCOMPARE(reports.size(), std::size_t(1));
    QCOMPARE(hexBytes(reports[0].data(), 5), QByteArray("00 A5 E1 5A 1E"));
    // Past the header stands the string the controller returned to the last request.
    QCOMPARE(hexBytes(reports[0].data() + 5, stringSize - 5),
             hexBytes(stringData.data() + 5, stringSize - 5));
    const QByteArray zeros(65 - stringSize, '\0');
    QCOMPARE(hexBytes(reports[0].data() + stringSize, 65 - stringSize),
             hexBytes(reinterpret_cast<const unsigned char*>(zeros.constData()), zeros.size()));
}

void TestDiscovery::otherInterfacesAreSkipped_data()
{
    QTest::addColumn<int>("vendor");
    QTest::addColumn<int>("product");
    QTest::addColumn<Other>("other");
    QTest::newRow("foreign device") << 0x046D << 0xC077 << Other::Opens;
    QTest::newRow("controller vendor, other product") << 0x0079 << 0x0006 << Other::Opens;
    QTest::newRow("bootloader product, other vendor") << 0x0080 << 0x1836 << Other::Opens;
    QTest::newRow("normal-mode product, other vendor") << 0x0080 << 0x18AE << Other::Opens;
    QTest::newRow("cannot be opened") << 0x046D << 0xC077 << Other::CannotOpen;
    QTest::newRow("controller ids that cannot be opened") << 0x0079 << 0x1836 << Other::CannotOpen;
    QTest::newRow("opens, attribute query fails") << 0x046D << 0xC077 << Other::NoAttributes;
    QTest::newRow("controller ids, attribute query fails")
        << 0x0079 << 0x1836 << Other::NoAttributes;
}

void TestDiscovery::otherInterfacesAreSkipped()
{
    QFETCH(int, vendor);
    QFETCH(int, product);
    QFETCH(Other, other);
    BusRig rig;
    if (other == Other::Opens)
        rig.bus.addForeignInterface(vendor, product);
    else if (other == Other::CannotOpen)
        rig.bus.addUnopenableInterface(vendor, product);
    else
        rig.bus.addAttributelessInterface(vendor, product);
    rig.addBootloader(0x0116);

    // Passes come twice a second for as long as the program runs: a handle left behind by each
    // would pile up.
    for (int pass = 0; pass < 50; ++pass)
        QVERIFY(rig.pass());

    QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
    QCOMPARE(rig.bus.foreignWriteCount(), 0);
    QCOMPARE(rig.bus.stringRequestCount(), 0);
    QCOMPARE(rig.bus.openHandleCount(), 1);
    rig.bus.setPlugged(rig.bus.controller(0), false);
    QVERIFY(!rig.pass());
    QCOMPARE(rig.bus.openHandleCount(), 0);
}

void TestDiscovery::bootloaderAheadOfANormalModeControllerEndsThePass()
{
    BusRig rig;
    rig.addBootloader(0x0116);
    VirtualController& normal = rig.bus.addController();

    QVERIFY(rig.pass());
    QCOMPARE(rig.bus.stringRequestCount(), 0);
    QCOMPARE(normal.mode(), VirtualController::Mode::Normal);
}

void TestDiscovery::normalModeControllerAheadOfABootloaderIsSwitchedFirst()
{
    BusRig rig;
    VirtualController& normal = rig.bus.addController();
    rig.addBootloader(0x0116);

    // The switched controller leaves the bus at once; the bootloader behind it takes the index the
    // pass has already looked at, so this pass ends without one.
    QVERIFY(!rig.pass());
    QCOMPARE(rig.bus.stringRequestCount(), 5);
    QCOMPARE(rig.bus.openHandleCount(), 0);

    // Both are bootloaders now; the pass keeps the first and leaves the other alone.
    rig.bus.clearTrace();
    QVERIFY(rig.pass());
    QCOMPARE(normal.mode(), VirtualController::Mode::Bootloader);
    QCOMPARE(rig.bus.openHandleCount(), 1);
    QCOMPARE(rig.bus.writeCount(), 1);
    QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
}

void TestDiscovery::oneHandleIsHeldPerPass()
{
    BusRig rig;
    rig.bus.addForeignInterface(0x046D, 0xC077);
    rig.bus.addController();
    rig.addBootloader(EMBEDDED_FIRMWARE_VERSION);
    // The switched controller leaves the bus, so the bootloader behind it moves to the index the
    // pass has just looked at and is found by the next pass.
    QVERIFY(!rig.pass());
    QCOMPARE(rig.bus.openHandleCount(), 0);

    for (int pass = 0; pass < 5; ++pass) {
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

void TestDiscovery::failedInfoQueryKeepsTheStoredVersion()
{
    BusRig rig;
    VirtualController& controller = rig.addBootloader(0x0116);
    rig.pass();
    QCOMPARE(g_device_version, 0x0116u);

    controller.setInstalledVersion(EMBEDDED_FIRMWARE_VERSION);
    rig.bus.clearTrace();
    rig.bus.failWrite(1);
    QVERIFY(rig.pass());
    // No read follows a failed write, and the older version still decides.
    QCOMPARE(rig.bus.readCount(), 0);
    QCOMPARE(g_device_version, 0x0116u);
    QCOMPARE(rig.shownState(), WindowState::UpdateOffered);

    rig.bus.clearTrace();
    rig.bus.neverAnswerRead(1);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(rig.pass());
    QCOMPARE(g_device_version, 0x0116u);
    // A controller that does not answer holds the window only for the read bound (20 ms here);
    // the limit leaves room for a saturated machine.
    QVERIFY(timer.elapsed() < 5000);
}

void TestDiscovery::infoReplyFields_data()
{
    QTest::addColumn<int>("identifier");
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("isBootloader");
    QTest::addColumn<std::uint32_t>("storedVersion");
    QTest::newRow("bootloader, 1.23") << 0x006D << 0x0123 << true << 291u;
    QTest::newRow("bootloader, 1.16") << 0x006D << 0x0116 << true << 278u;
    QTest::newRow("bootloader, blank") << 0x006D << 0xFFFF << true << 0u;
    QTest::newRow("other identifier") << 0x6D00 << 0x0116 << false << 278u;
}

void TestDiscovery::infoReplyFields()
{
    QFETCH(int, identifier);
    QFETCH(int, version);
    QFETCH(bool, isBootloader);
    QFETCH(std::uint32_t, storedVersion);
    BusRig rig;
    VirtualController& controller = rig.addBootloader(static_cast<std::uint16_t>(version));
    controller.setIdentifier(static_cast<std::uint16_t>(identifier));
    rig.pass();

    QCOMPARE(rig.window()._Query_Device_Info(), isBootloader);
    QCOMPARE(g_bootloader_id, std::uint32_t(identifier));
    QCOMPARE(g_device_version, storedVersion);
}

void TestDiscovery::pollingThreadAsksForPassesAndStops()
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
    // The first request comes at once. Until its pass has ended, however long, no other is made.
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

    // The thread ends within a period of the flag; the bound only tells a stop from a hang, with
    // room for a saturated machine.
    const int passesAtStop = passes.load();
    polling.m_stop_polling = true;
    QVERIFY(polling.wait(10000));
    QVERIFY(passes.load() <= passesAtStop + 1);
}

// Nothing owns the polling thread; once it has ended, its object must not outlive it.
void TestDiscovery::endedPollingThreadIsDeleted()
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

QTEST_MAIN(TestDiscovery)
#include "TestDiscovery.moc"
