#include "BootloaderProtocol.h"
#include "FirmwareImage.h"
#include "FlashingReports.h"
#include "HidAccessFactory.h"
#include "RunAnalysis.h"
#include "TestSupport.h"
#include "BusRig.h"

#include <QtTest>

#include <cstring>
#include <utility>
#include <vector>

using Kind = VirtualHidAccess::Transfer::Kind;
using Report = std::vector<std::uint8_t>;
using Role = FlashingOrder::Role;

namespace {

bool isCommand(const Report& report, std::uint8_t command)
{
    return FlashingOrder::isCommand(report.data() + 1, command);
}

// Those reports as the device receives them, behind their report ID.
std::vector<FlashingOrder::Report> dataOf(const std::vector<Report>& reports)
{
    std::vector<FlashingOrder::Report> data(reports.size());
    for (std::size_t i = 0; i < reports.size(); ++i) {
        if (reports[i].size() == kReportSize)
            std::copy(reports[i].begin() + 1, reports[i].end(), data[i].begin());
    }
    return data;
}

// The write's number, which is the count of writes a run ending on it has made.
int writeNumber(Role role, int page = -1, int chunk = -1, bool opening = false)
{
    return FlashingOrder::writeOf(role, page, chunk, opening).number;
}

// A bus with one bootloader of the given version, found by a pass, ready for a click.
void prepare(BusRig<>& rig, std::uint16_t version)
{
    rig.addBootloader(version);
    rig.pass();
    rig.bus.clearTrace();
}

// The 65 bytes of the last read that delivered a whole report.
Report lastWholeReply(const VirtualHidAccess& bus)
{
    const auto& trace = bus.trace();
    for (auto transfer = trace.rbegin(); transfer != trace.rend(); ++transfer) {
        if (transfer->kind == Kind::Read && transfer->ok)
            return transfer->bytes;
    }
    return {};
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
    void successfulRunWritesTheImageInTheSafeOrder()
    {
        BusRig rig;
        prepare(rig, 0x0116);
        VirtualController& controller = rig.bus.controller(0);

        rig.clickUpdateAndFlash();

        // The figures of a complete run, which every other count of one is read from.
        QCOMPARE(FlashingOrder::writeCount(), 681);
        QCOMPARE(FlashingOrder::readCount(), 185);
        QCOMPARE(rig.bus.writeCount(), FlashingOrder::writeCount());
        QCOMPARE(rig.bus.readCount(), FlashingOrder::readCount());
        // Every transfer succeeds, writes and reads interleaved exactly as the order has them: the
        // fault matrix strikes transfers by their number in it.
        std::vector<bool> writes;
        for (const VirtualHidAccess::Transfer& transfer : rig.bus.trace()) {
            QVERIFY(transfer.ok);
            if (transfer.kind == Kind::Write || transfer.kind == Kind::Read)
                writes.push_back(transfer.kind == Kind::Write);
        }
        std::vector<bool> layout;
        for (const FlashingOrder::Step& step : FlashingOrder::steps())
            layout.push_back(step.write);
        QCOMPARE(writes, layout);
        // Everything the flashing slot wrote, after the discovery pass that found the bootloader.
        const std::vector<Report> reports = rig.bus.writtenReports();
        QVERIFY(isCommand(reports.front(), CMD_GET_INFO));
        QVERIFY(isCommand(reports[1], CMD_SET_PAGE));
        QCOMPARE(hexBytes(reports[1].data() + 5, 5), QByteArray("00 20 00 00 10"));
        QVERIFY(isCommand(reports.back(), CMD_PAGE_CHECKSUM));
        QCOMPARE(hexBytes(reports.back().data() + 5, 5), QByteArray("00 20 00 00 01"));

        // Page 16 opens the run without being committed, then every other page in order, then 16;
        // byte for byte, with what each report leaves in the buffer for the next: a chunk keeps its
        // CMD_SET_PAGE's report ID, CMD_WRITE_PAGE carries the end of chunk 7.
        for (const Report& report : reports)
            QCOMPARE(report.at(0), std::uint8_t(0));
        FlashingReports expected;
        expected.info();
        expected.run();
        const QString difference
            = FlashingReports::difference(expected.received(), dataOf(reports));
        QVERIFY2(difference.isEmpty(), qPrintable(difference));
        QCOMPARE(controller.programmedPages(), FlashingOrder::verifiedOrder());

        QVERIFY(std::memcmp(controller.flash(), g_firmware_image, FIRMWARE_IMAGE_SIZE) == 0);
        QCOMPARE(controller.reportedVersion(), std::uint16_t(EMBEDDED_FIRMWARE_VERSION));
        QCOMPARE(rig.shownState(), WindowState::Finished);
        QVERIFY(!rig.progress()->isHidden());
        QCOMPARE(rig.progress()->maximum(), 62);
        QCOMPARE(rig.progress()->value(), 62);
    }

    void faultEndsTheRun_data()
    {
        QTest::addColumn<int>("page"); // whose checksum reply is wrong
        QTest::addColumn<std::uint32_t>("error"); // what it is off by
        QTest::addColumn<int>("progress");
        // The compare must be exact over all four reply bytes: every table entry is below 0x10000,
        // so a sum off only in bytes 7 or 8 is what a three-byte or two-byte read would miss.
        QTest::newRow("first page, one above") << 0 << 1u << 0;
        QTest::newRow("page after the closing page, one below") << 17 << 0xFFFFFFFFu << 15;
        QTest::newRow("page 5, off in byte 7 only") << 5 << 0x10000u << 4;
        QTest::newRow("page 20, off in byte 8 only") << 20 << 0x1000000u << 19;
        QTest::newRow("page 60, a reply of zero") << 60 << 0u - 0x10B0u << 59;
        QTest::newRow("closing write of page 16") << 16 << 1u << 60;
    }

    void faultEndsTheRun()
    {
        QFETCH(int, page);
        QFETCH(std::uint32_t, error);
        QFETCH(int, progress);
        BusRig rig;
        prepare(rig, 0x0116);
        rig.bus.controller(0).setWrongChecksumPage(page, error);

        rig.clickUpdateAndFlash();

        // The mismatch's checksum request is the last write.
        QCOMPARE(rig.bus.writeCount(), writeNumber(Role::Checksum, page));
        QCOMPARE(rig.progress()->value(), progress);
        QCOMPARE(rig.shownState(), WindowState::Flashing);
        // Before the closing page is written the firmware is not valid: the controller stays blank.
        if (page != 16)
            QCOMPARE(rig.bus.controller(0).reportedVersion(), std::uint16_t(0xFFFF));
    }

    void wrongLengthReplyIsAFailedRead_data()
    {
        QTest::addColumn<int>("read");
        QTest::addColumn<int>("length");
        const std::pair<const char*, int> reads[]
            = {{"info", FlashingOrder::readOf(Role::Info).number},
               {"opening SET_PAGE", FlashingOrder::readOf(Role::SetPage, 16, true).number},
               {"SET_PAGE page 5", FlashingOrder::readOf(Role::SetPage, 5).number},
               {"WRITE_PAGE page 5", FlashingOrder::readOf(Role::WritePage, 5).number},
               {"CHECKSUM page 5", FlashingOrder::readOf(Role::Checksum, 5).number},
               {"CHECKSUM closing page 16", FlashingOrder::readOf(Role::Checksum, 16).number}};
        for (const auto& [name, read] : reads) {
            for (int length : {0, 1, 8, 63, 65, 128})
                QTest::addRow("%s, %d bytes", name, length) << read << length;
        }
    }

    void wrongLengthReplyIsAFailedRead()
    {
        QFETCH(int, read);
        QFETCH(int, length);
        BusRig rig;
        prepare(rig, 0x0116);
        rig.bus.garbageReply(read, garbagePattern(std::size_t(length)));

        rig.clickUpdateAndFlash();

        // The input buffer holds the last whole reply, untouched by the faulty one.
        const std::uint8_t* buffer = rig.window().inReport();
        QCOMPARE(Report(buffer, buffer + kReportSize), lastWholeReply(rig.bus));
        const RunAnalysis run(rig.bus.trace());
        const bool infoRead = read == FlashingOrder::readOf(Role::Info).number;
        QCOMPARE(rig.bus.readCount(), infoRead ? FlashingOrder::readCount() : read);
        if (infoRead) {
            // The version stored by discovery decided, and the run went through.
            QVERIFY(run.everyPageVerifiedInOrder());
            QVERIFY(rig.window().updateFinished());
        } else {
            QCOMPARE(run.transferCount(), run.failedTransfers().back());
            QCOMPARE(rig.shownState(), WindowState::Flashing);
        }
    }

    void versionGate_data()
    {
        // What the discovery pass found, and what the controller claims by the time the run asks.
        QTest::addColumn<int>("discovered");
        QTest::addColumn<int>("version");
        QTest::addColumn<bool>("infoAnswered");
        QTest::addColumn<bool>("leftShift");
        QTest::addColumn<bool>("rightShift");
        QTest::addColumn<bool>("flashes");
        QTest::addColumn<int>("leftQueries");
        QTest::addColumn<int>("rightQueries");
        QTest::addColumn<WindowState>("shown");
        const WindowState finished = WindowState::Finished, offered = WindowState::UpdateOffered;
        const int older = 0x0116, embedded = int(EMBEDDED_FIRMWARE_VERSION);
        QTest::newRow("blank, no key asked")
            << older << 0xFFFF << true << false << false << true << 0 << 0 << finished;
        QTest::addRow("0x%04X, one below, no key asked", embedded - 1)
            << older << embedded - 1 << true << false << false << true << 0 << 0 << finished;
        QTest::addRow("0x%04X without Shift", embedded)
            << older << embedded << true << false << false << false << 1 << 1 << offered;
        QTest::addRow("0x%04X with right Shift", embedded)
            << older << embedded << true << false << true << true << 1 << 1 << finished;
        QTest::addRow("0x%04X with left Shift", embedded)
            << older << embedded << true << true << false << true << 1 << 0 << finished;
        QTest::addRow("0x%04X, one above, without Shift", embedded + 1)
            << older << embedded + 1 << true << false << false << false << 1 << 1 << offered;
        QTest::newRow("0x0200 without Shift")
            << older << 0x0200 << true << false << false << false << 1 << 1 << offered;
        // The device claims the opposite of what the pass stored, but its reply never arrives.
        QTest::newRow("info reply lost, older version stored")
            << older << embedded << false << false << false << true << 0 << 0 << finished;
        QTest::newRow("info reply lost, current version stored")
            << embedded << older << false << false << false << false << 1 << 1
            << WindowState::UpToDate;
    }

    void versionGate()
    {
        QFETCH(int, discovered);
        QFETCH(int, version);
        QFETCH(bool, infoAnswered);
        QFETCH(bool, leftShift);
        QFETCH(bool, rightShift);
        QFETCH(bool, flashes);
        QFETCH(int, leftQueries);
        QFETCH(int, rightQueries);
        QFETCH(WindowState, shown);
        BusRig rig;
        prepare(rig, static_cast<std::uint16_t>(discovered));
        QCOMPARE(g_device_version, std::uint32_t(discovered));
        rig.bus.controller(0).setInstalledVersion(static_cast<std::uint16_t>(version));
        if (!infoAnswered)
            rig.bus.neverAnswerRead(1);
        rig.bus.setKeyHeld(HidKey::LeftShift, leftShift);
        rig.bus.setKeyHeld(HidKey::RightShift, rightShift);

        rig.clickUpdateAndFlash();

        QCOMPARE(rig.bus.keyQueries(HidKey::LeftShift), leftQueries);
        QCOMPARE(rig.bus.keyQueries(HidKey::RightShift), rightQueries);
        QCOMPARE(rig.window().updateFinished(), flashes);
        // Finish after a run; stopped at the gate, what the pass found.
        QCOMPARE(rig.shownState(), shown);
        if (flashes) {
            QCOMPARE(rig.bus.writeCount(), FlashingOrder::writeCount());
        } else {
            QCOMPARE(rig.bus.writeCount(), 1);
            QCOMPARE(rig.bus.readCount(), 1);
            QCOMPARE(rig.progress()->value(), 0);
            QVERIFY(!rig.progress()->isHidden());
        }
    }

    void twoAcceptedClicksGiveTwoRuns()
    {
        BusRig rig;
        prepare(rig, 0x0116);
        rig.bus.setKeyHeld(HidKey::RightShift, true);

        rig.updateButton()->click();
        rig.updateButton()->click();
        QCOMPARE(rig.updateThreadCount(), 2);
        rig.deliverUpdateSignals();

        // The second run finds the firmware current and writes it again because Shift is held.
        QCOMPARE(rig.bus.writeCount(), 2 * FlashingOrder::writeCount());
        QVERIFY(rig.window().updateFinished());

        // Once finished, clicks start nothing.
        rig.bus.setKeyHeld(HidKey::RightShift, false);
        rig.bus.clearTrace();
        rig.updateButton()->click();
        rig.finish()->click();
        rig.deliverUpdateSignals();

        QCOMPARE(rig.updateThreadCount(), 2);
        QCOMPARE(rig.bus.writeCount(), 0);
        QCOMPARE(rig.shownState(), WindowState::Finished);
    }

    void forcedRewriteCutShortIsOfferedAgain()
    {
        BusRig rig;
        prepare(rig, EMBEDDED_FIRMWARE_VERSION);
        QCOMPARE(g_device_version, EMBEDDED_FIRMWARE_VERSION);
        rig.bus.setKeyHeld(HidKey::LeftShift, true);
        rig.updateButton()->show();
        // Cut short in page 1's chunk run: page 0 is written, so the controller is blank, and it
        // takes the next pass's info request for page data and does not answer it.
        rig.bus.failWrite(writeNumber(Role::Chunk, 1, 1));

        rig.clickUpdateAndFlash();
        QVERIFY(!rig.window().updateFinished());
        QVERIFY(rig.pass());

        // The version read before the run no longer stands: the update is offered, not shown done.
        QCOMPARE(rig.bus.controller(0).reportedVersion(), std::uint16_t(0xFFFF));
        QCOMPARE(rig.shownState(), WindowState::UpdateOffered);
    }

    void standInImageNeverReachesHardware()
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

    void factoryPairsTheStandInWithTheVirtualController()
    {
        QCOMPARE(createHidAccess()->reachesHardware(), !g_firmware_is_stand_in);
    }
};

QTEST_MAIN(TestFlashing)
#include "TestFlashing.moc"
