#include "BootloaderProtocol.h"
#include "FirmwareImage.h"
#include "HidAccessFactory.h"
#include "TestSupport.h"
#include "BusRig.h"

#include <QtTest>

#include <cstring>
#include <vector>

using Report = std::vector<std::uint8_t>;

namespace {

bool isCommand(const Report& report, std::uint8_t command)
{
    return report[1] == COMMAND_LEAD_BYTE && report[2] == command && report[3] == COMMAND_GUARD_BYTE
        && report[4] == 0xFF - command;
}

std::uint32_t addressOf(const Report& report)
{
    return report[5] | report[6] << 8 | report[7] << 16
         | static_cast<std::uint32_t>(report[8]) << 24;
}

// Everything the flashing slot wrote, after the discovery pass that found the bootloader.
std::vector<Report> reportsOfRun(BusRig<>& rig)
{
    return rig.bus.writtenReports();
}

// A bus with one bootloader of the given version, found by a pass, ready for a click.
void prepare(BusRig<>& rig, std::uint16_t version)
{
    rig.addBootloader(version);
    rig.pass();
    rig.bus.clearTrace();
}

// The bus reports itself as hardware: the window must not send it a stand-in image.
class HardwareLookalike : public VirtualHidAccess {
public:
    bool reachesHardware() const override { return true; }
};

} // namespace

class TestFlashing : public QObject {
    Q_OBJECT

private slots:
    void successfulRunWritesTheImageInTheSafeOrder();
    void chunkAndCommandBytesFollowTheBufferRule();
    void checksumMismatchEndsTheRun_data();
    void checksumMismatchEndsTheRun();
    void failedReadsEndTheRunLikeAMismatch_data();
    void failedReadsEndTheRunLikeAMismatch();
    void versionGate_data();
    void versionGate();
    void failedInfoReadLeavesTheStoredVersionInForce_data();
    void failedInfoReadLeavesTheStoredVersionInForce();
    void failedWritesEndTheRunAtOnce_data();
    void failedWritesEndTheRunAtOnce();
    void twoAcceptedClicksGiveTwoRuns();
    void clicksAfterAFinishedRunAreIgnored();
    void interruptedUpdateCanBeRepeated();
    void forcedRewriteCutShortIsOfferedAgain();
    void standInImageNeverReachesHardware();
    void factoryPairsTheStandInWithTheVirtualController();
};

void TestFlashing::successfulRunWritesTheImageInTheSafeOrder()
{
    BusRig rig;
    prepare(rig, 0x0116);
    VirtualController& controller = rig.bus.controller(0);

    rig.clickUpdateAndFlash();

    QCOMPARE(rig.bus.writeCount(), 681);
    QCOMPARE(rig.bus.readCount(), 185);
    const std::vector<Report> reports = reportsOfRun(rig);
    QVERIFY(isCommand(reports.front(), CMD_GET_INFO));
    QVERIFY(isCommand(reports[1], CMD_SET_PAGE));
    QCOMPARE(hexBytes(reports[1].data() + 5, 5), QByteArray("00 20 00 00 10"));
    QVERIFY(isCommand(reports.back(), CMD_PAGE_CHECKSUM));
    QCOMPARE(hexBytes(reports.back().data() + 5, 5), QByteArray("00 20 00 00 01"));

    // Page 16 opens the run without being committed, then every other page in order, then 16.
    std::vector<int> selected;
    std::vector<int> verified;
    for (const Report& report : reports) {
        if (isCommand(report, CMD_SET_PAGE)) {
            QCOMPARE(addressOf(report), report[9] * 512u);
            selected.push_back(report[9]);
        } else if (isCommand(report, CMD_PAGE_CHECKSUM)) {
            QCOMPARE(report[9], std::uint8_t(1));
            verified.push_back(static_cast<int>(addressOf(report) / 512));
        }
    }
    std::vector<int> expectedVerified;
    for (int page = 0; page <= 60; ++page) {
        if (page != 16)
            expectedVerified.push_back(page);
    }
    expectedVerified.push_back(16);
    std::vector<int> expectedSelected = expectedVerified;
    expectedSelected.insert(expectedSelected.begin(), 16);
    QCOMPARE(selected, expectedSelected);
    QCOMPARE(verified, expectedVerified);
    QCOMPARE(controller.programmedPages(), expectedVerified);

    QVERIFY(std::memcmp(controller.flash(), g_firmware_image, FIRMWARE_IMAGE_SIZE) == 0);
    QCOMPARE(controller.reportedVersion(), std::uint16_t(EMBEDDED_FIRMWARE_VERSION));
    QCOMPARE(rig.shownState(), WindowState::Finished);
    QVERIFY(!rig.progress()->isHidden());
    QCOMPARE(rig.progress()->maximum(), 62);
    QCOMPARE(rig.progress()->value(), 62);
}

void TestFlashing::chunkAndCommandBytesFollowTheBufferRule()
{
    BusRig rig;
    prepare(rig, 0x0116);
    rig.clickUpdateAndFlash();
    const std::vector<Report> reports = reportsOfRun(rig);

    // Report 2 is the opening CMD_SET_PAGE of page 16; its chunks follow, with the report ID of
    // that command in byte 0.
    for (int chunk = 0; chunk < 8; ++chunk) {
        const Report& report = reports[2 + chunk];
        QCOMPARE(report[0], std::uint8_t(0));
        QVERIFY(std::memcmp(report.data() + 1, g_firmware_image + 16 * 512 + chunk * 64, 64) == 0);
    }
    // Page 0: SET_PAGE at 10, chunks 11..18, WRITE_PAGE at 19, CHECKSUM at 20.
    const Report& writePage = reports[19];
    QVERIFY(isCommand(writePage, CMD_WRITE_PAGE));
    // Bytes 5 to 64 still hold the last 60 bytes of chunk 7.
    QVERIFY(std::memcmp(writePage.data() + 5, g_firmware_image + 7 * 64 + 4, 60) == 0);
    const Report& checksum = reports[20];
    QVERIFY(isCommand(checksum, CMD_PAGE_CHECKSUM));
    QVERIFY(std::memcmp(checksum.data() + 10, g_firmware_image + 7 * 64 + 9, 55) == 0);
    // Chunk 7 of page 60 ends with the image's last byte.
    const Report& lastChunkOfPage60 = reports[681 - 11 - 3];
    QCOMPARE(lastChunkOfPage60[64], g_firmware_image[FIRMWARE_IMAGE_SIZE - 1]);
}

void TestFlashing::checksumMismatchEndsTheRun_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<std::uint32_t>("error");
    QTest::addColumn<int>("progress");
    QTest::addColumn<int>("writes");
    // The compare must be exact over all four reply bytes: every table entry is below 0x10000, so
    // a sum off only in bytes 7 or 8 is what a three-byte or two-byte read would miss.
    QTest::newRow("first page, one above") << 0 << 1u << 0 << 1 + 9 + 11;
    QTest::newRow("page after the closing page, one below")
        << 17 << 0xFFFFFFFFu << 15 << 1 + 9 + 17 * 11;
    QTest::newRow("page 5, off in byte 7 only") << 5 << 0x10000u << 4 << 1 + 9 + 6 * 11;
    QTest::newRow("page 20, off in byte 8 only") << 20 << 0x1000000u << 19 << 1 + 9 + 20 * 11;
    QTest::newRow("page 60, a reply of zero") << 60 << 0u - 0x10B0u << 59 << 1 + 9 + 60 * 11;
    QTest::newRow("closing write of page 16") << 16 << 1u << 60 << 681;
}

void TestFlashing::checksumMismatchEndsTheRun()
{
    QFETCH(int, page);
    QFETCH(std::uint32_t, error);
    QFETCH(int, progress);
    QFETCH(int, writes);
    BusRig rig;
    prepare(rig, 0x0116);
    rig.bus.controller(0).setWrongChecksumPage(page, error);

    rig.clickUpdateAndFlash();

    QCOMPARE(rig.bus.writeCount(), writes);
    QCOMPARE(rig.progress()->value(), progress);
    QCOMPARE(rig.shownState(), WindowState::Flashing);
    // Before the closing page is written the firmware is not valid: the controller stays blank.
    if (page != 16)
        QCOMPARE(rig.bus.controller(0).reportedVersion(), std::uint16_t(0xFFFF));
}

void TestFlashing::failedReadsEndTheRunLikeAMismatch_data()
{
    QTest::addColumn<bool>("neverAnswers");
    QTest::addColumn<int>("read");
    QTest::addColumn<int>("writes");
    QTest::addColumn<int>("progress");
    // Reads: 1 info, 2 opening SET_PAGE, then per page SET_PAGE, WRITE_PAGE, CHECKSUM.
    QTest::newRow("opening SET_PAGE reply fails") << false << 2 << 1 + 1 << 0;
    QTest::newRow("page 0 SET_PAGE reply fails") << false << 3 << 1 + 9 + 1 << 0;
    QTest::newRow("page 0 WRITE_PAGE reply fails") << false << 4 << 1 + 9 + 10 << 0;
    QTest::newRow("page 0 checksum reply fails") << false << 5 << 1 + 9 + 11 << 0;
    QTest::newRow("page 1 checksum reply never comes") << true << 8 << 1 + 9 + 22 << 0;
    QTest::newRow("closing checksum reply never comes") << true << 185 << 681 << 60;
}

void TestFlashing::failedReadsEndTheRunLikeAMismatch()
{
    QFETCH(bool, neverAnswers);
    QFETCH(int, read);
    QFETCH(int, writes);
    QFETCH(int, progress);
    BusRig rig;
    prepare(rig, 0x0116);
    if (neverAnswers)
        rig.bus.neverAnswerRead(read);
    else
        rig.bus.failRead(read);

    rig.clickUpdateAndFlash();

    QCOMPARE(rig.bus.writeCount(), writes);
    QCOMPARE(rig.progress()->value(), progress);
    QCOMPARE(rig.shownState(), WindowState::Flashing);
}

void TestFlashing::versionGate_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<bool>("leftShift");
    QTest::addColumn<bool>("rightShift");
    QTest::addColumn<bool>("flashes");
    QTest::addColumn<int>("leftQueries");
    QTest::addColumn<int>("rightQueries");
    QTest::newRow("blank, no key asked") << 0xFFFF << false << false << true << 0 << 0;
    const int embedded = int(EMBEDDED_FIRMWARE_VERSION);
    QTest::addRow("0x%04X, one below, no key asked", embedded - 1)
        << embedded - 1 << false << false << true << 0 << 0;
    QTest::addRow("0x%04X without Shift", embedded)
        << embedded << false << false << false << 1 << 1;
    QTest::addRow("0x%04X with right Shift", embedded)
        << embedded << false << true << true << 1 << 1;
    QTest::addRow("0x%04X with left Shift", embedded)
        << embedded << true << false << true << 1 << 0;
    QTest::addRow("0x%04X, one above, without Shift", embedded + 1)
        << embedded + 1 << false << false << false << 1 << 1;
    QTest::newRow("0x0200 without Shift") << 0x0200 << false << false << false << 1 << 1;
}

void TestFlashing::versionGate()
{
    QFETCH(int, version);
    QFETCH(bool, leftShift);
    QFETCH(bool, rightShift);
    QFETCH(bool, flashes);
    QFETCH(int, leftQueries);
    QFETCH(int, rightQueries);
    BusRig rig;
    // Offered the update, the controller has this version by the time the run asks for it.
    prepare(rig, 0x0116);
    rig.bus.controller(0).setInstalledVersion(static_cast<std::uint16_t>(version));
    rig.bus.setKeyHeld(HidKey::LeftShift, leftShift);
    rig.bus.setKeyHeld(HidKey::RightShift, rightShift);

    rig.clickUpdateAndFlash();

    QCOMPARE(rig.bus.keyQueries(HidKey::LeftShift), leftQueries);
    QCOMPARE(rig.bus.keyQueries(HidKey::RightShift), rightQueries);
    QCOMPARE(rig.window().updateFinished(), flashes);
    if (flashes) {
        QCOMPARE(rig.bus.writeCount(), 681);
    } else {
        QCOMPARE(rig.bus.writeCount(), 1);
        QCOMPARE(rig.bus.readCount(), 1);
        QCOMPARE(rig.progress()->value(), 0);
        QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
        QVERIFY(!rig.progress()->isHidden());
    }
}

void TestFlashing::failedInfoReadLeavesTheStoredVersionInForce_data()
{
    QTest::addColumn<int>("versionSeenByDiscovery");
    QTest::addColumn<bool>("flashes");
    QTest::newRow("older version stored") << 0x0116 << true;
    QTest::newRow("current version stored") << int(EMBEDDED_FIRMWARE_VERSION) << false;
}

void TestFlashing::failedInfoReadLeavesTheStoredVersionInForce()
{
    QFETCH(int, versionSeenByDiscovery);
    QFETCH(bool, flashes);
    BusRig rig;
    prepare(rig, static_cast<std::uint16_t>(versionSeenByDiscovery));
    QCOMPARE(g_device_version, std::uint32_t(versionSeenByDiscovery));
    // The device now claims the opposite, but its reply never arrives.
    rig.bus.controller(0).setInstalledVersion(flashes ? EMBEDDED_FIRMWARE_VERSION : 0x0116);
    rig.bus.neverAnswerRead(1);

    rig.clickUpdateAndFlash();

    QCOMPARE(rig.window().updateFinished(), flashes);
    QCOMPARE(rig.bus.writeCount(), flashes ? 681 : 1);
}

void TestFlashing::failedWritesEndTheRunAtOnce_data()
{
    QTest::addColumn<int>("write");
    QTest::addColumn<bool>("buttonsHidden");
    QTest::addColumn<int>("progress");
    QTest::newRow("info write") << 1 << false << 0;
    QTest::newRow("opening SET_PAGE write") << 2 << true << 0;
    QTest::newRow("opening chunk 3") << 6 << true << 0;
    QTest::newRow("page 2 WRITE_PAGE") << 1 + 9 + 22 + 10 << true << 1;
    QTest::newRow("closing checksum request") << 681 << true << 60;
}

void TestFlashing::failedWritesEndTheRunAtOnce()
{
    QFETCH(int, write);
    QFETCH(bool, buttonsHidden);
    QFETCH(int, progress);
    BusRig rig;
    prepare(rig, 0x0116);
    rig.bus.failWrite(write);

    rig.clickUpdateAndFlash();

    // The failed write is the last one attempted.
    QCOMPARE(rig.bus.writeCount(), write);
    QCOMPARE(rig.shownState(), buttonsHidden ? WindowState::Flashing : WindowState::UpdateOffered);
    QCOMPARE(rig.progress()->value(), progress);
    // The handle stays with the window for the next pass to replace.
    QVERIFY(rig.window().deviceHandle() != nullptr);
}

void TestFlashing::twoAcceptedClicksGiveTwoRuns()
{
    BusRig rig;
    prepare(rig, 0x0116);
    rig.bus.setKeyHeld(HidKey::RightShift, true);

    rig.updateButton()->click();
    rig.updateButton()->click();
    QCOMPARE(rig.updateThreadCount(), 2);
    rig.deliverUpdateSignals();

    // The second run finds the firmware current and writes it again because Shift is held.
    QCOMPARE(rig.bus.writeCount(), 2 * 681);
    QVERIFY(rig.window().updateFinished());
}

void TestFlashing::clicksAfterAFinishedRunAreIgnored()
{
    BusRig rig;
    prepare(rig, 0x0116);
    rig.clickUpdateAndFlash();
    QCOMPARE(rig.updateThreadCount(), 1);
    rig.bus.clearTrace();

    rig.updateButton()->click();
    rig.finish()->click();
    rig.deliverUpdateSignals();

    QCOMPARE(rig.updateThreadCount(), 1);
    QCOMPARE(rig.bus.writeCount(), 0);
    QCOMPARE(rig.shownState(), WindowState::Finished);
}

void TestFlashing::interruptedUpdateCanBeRepeated()
{
    BusRig rig;
    prepare(rig, 0x0116);
    VirtualController& controller = rig.bus.controller(0);
    rig.bus.unplugAtTransfer(300);

    rig.clickUpdateAndFlash();
    QVERIFY(!rig.window().updateFinished());

    // Unplugged: the next pass shows no device; replugged, the bootloader is blank and the update
    // is offered again.
    QVERIFY(!rig.pass());
    QCOMPARE(rig.shownState(), WindowState::NoDevice);
    QCOMPARE(rig.progress()->value(), 0);
    rig.bus.setPlugged(controller, true);
    QVERIFY(rig.pass());
    QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
    QCOMPARE(g_device_version, 0u);
    rig.bus.clearTrace();

    rig.clickUpdateAndFlash();
    QVERIFY(rig.window().updateFinished());
    QVERIFY(std::memcmp(controller.flash(), g_firmware_image, FIRMWARE_IMAGE_SIZE) == 0);
    QCOMPARE(controller.reportedVersion(), std::uint16_t(EMBEDDED_FIRMWARE_VERSION));
}

void TestFlashing::forcedRewriteCutShortIsOfferedAgain()
{
    BusRig rig;
    prepare(rig, EMBEDDED_FIRMWARE_VERSION);
    QCOMPARE(g_device_version, EMBEDDED_FIRMWARE_VERSION);
    rig.bus.setKeyHeld(HidKey::LeftShift, true);
    rig.updateButton()->show();
    // Cut short in page 1's chunk run: page 0 is written, so the controller is blank, and it
    // takes the next pass's info request for page data and does not answer it.
    rig.bus.failWrite(1 + 9 + 11 + 3);

    rig.clickUpdateAndFlash();
    QVERIFY(!rig.window().updateFinished());
    QVERIFY(rig.pass());

    // The version read before the run no longer stands: the update is offered, not shown done.
    QCOMPARE(rig.bus.controller(0).reportedVersion(), std::uint16_t(0xFFFF));
    QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
}

void TestFlashing::standInImageNeverReachesHardware()
{
    if (!g_firmware_is_stand_in)
        QSKIP("the build embeds a vendor image; the stand-in is the demonstration build's");
    BusRig<HardwareLookalike> rig;
    rig.bus.addController().setMode(VirtualController::Mode::Bootloader);
    QVERIFY(rig.pass());
    rig.bus.clearTrace();
    rig.bus.setKeyHeld(HidKey::LeftShift, true);

    rig.window()._DownLoad_Firmware_Data(g_firmware_image);

    QCOMPARE(rig.bus.writeCount(), 0);
    QVERIFY(!rig.window().updateFinished());
}

void TestFlashing::factoryPairsTheStandInWithTheVirtualController()
{
    QCOMPARE(createHidAccess()->reachesHardware(), !g_firmware_is_stand_in);
}

QTEST_MAIN(TestFlashing)
#include "TestFlashing.moc"
