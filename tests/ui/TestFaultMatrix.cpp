#include "BootloaderProtocol.h"
#include "FaultRig.h"
#include "FirmwareImage.h"
#include "FlashingOrder.h"
#include "RunAnalysis.h"

#include <QtTest>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// A read that gets no reply gives up after this long; the matrix pays it once per such case.
constexpr std::uint32_t g_readTimeoutMs = 10;
// What a single transfer may take beyond the read time limit: enough to tell a bounded read from
// one that never returns on a machine saturated several times over.
constexpr int g_transferSlackMs = 5000;
// What a whole run may take beyond its one bounded wait: 866 transfers in memory take a few
// milliseconds, under a sanitizer a few tens; the rest is room for a saturated machine.
constexpr int g_runAllowanceMs = 20000;

enum Fault { FailTransfer, Unplug, NeverAnswer, AnswersLate, GarbageReply, WrongLengthReply };

// In the order of Fault.
const char* const g_faultNames[] = {"fails",        "unplugged",     "never answers",
                                    "answers late", "garbage reply", "reply of the wrong length"};

std::uint64_t mix(std::uint64_t value)
{
    value += 0x9E3779B97F4A7C15ull;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
    return value ^ (value >> 31);
}

std::vector<std::uint8_t> noise(std::size_t size, std::uint64_t seed)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(mix(seed * 131 + i) >> 24);
    return bytes;
}

// 64 data bytes in place of a reply, varied with the read: noise; all ones (a blank version, an
// impossible checksum); the right frame with a value one off; a mangled frame around the right
// value, which the program takes because it reads no reply header.
std::vector<std::uint8_t> garbageFor(const FlashingOrder::Step& step)
{
    std::vector<std::uint8_t> bytes = noise(kReportDataSize, step.number);
    const std::uint8_t command = FlashingOrder::commandOf(step.role);
    std::uint32_t value = step.role == FlashingOrder::Role::Info ? 0x0116 : 0;
    if (step.page >= 0)
        value = g_page_checksums[step.page];
    const auto putValue = [&](std::uint32_t v) {
        if (step.role == FlashingOrder::Role::Info) {
            bytes[6] = static_cast<std::uint8_t>(v >> 8);
            bytes[7] = static_cast<std::uint8_t>(v);
        } else {
            for (int i = 0; i < 4; ++i)
                bytes[4 + i] = static_cast<std::uint8_t>(v >> (8 * i));
        }
    };
    switch (step.number % 4) {
    case 1:
        std::fill(bytes.begin(), bytes.end(), 0xFF);
        break;
    case 2:
        bytes[0] = COMMAND_LEAD_BYTE;
        bytes[1] = command;
        bytes[2] = COMMAND_GUARD_BYTE;
        bytes[3] = static_cast<std::uint8_t>(0xFF - command);
        putValue(value + 1);
        break;
    case 3:
        putValue(value);
        break;
    default:
        break;
    }
    return bytes;
}

std::vector<std::uint8_t> wrongLengthFor(const FlashingOrder::Step& step)
{
    static const std::size_t lengths[] = {0, 1, 4, 8, 9, 32, 63, 65, 96, 128};
    return noise(lengths[step.number % (sizeof(lengths) / sizeof(lengths[0]))], step.number + 7);
}

bool flashHoldsTheImage(const VirtualController& controller)
{
    return std::memcmp(controller.flash(), g_firmware_image, FIRMWARE_IMAGE_SIZE) == 0;
}

// For a failure message: the reads whose reply answered another command than the last one written.
QByteArray outOfStepMessage(const std::vector<int>& reads, int runEnd)
{
    QStringList list;
    for (int number : reads)
        list << QString::number(number);
    return QStringLiteral("replies out of step at transfers %1 (run ended at %2)")
        .arg(list.join(QStringLiteral(", ")))
        .arg(runEnd)
        .toLocal8Bit();
}

} // namespace

class TestFaultMatrix : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { m_rig = std::make_unique<FaultRig>(g_readTimeoutMs); }

    void faultAtEveryTransfer_data()
    {
        QTest::addColumn<int>("stepIndex");
        QTest::addColumn<int>("fault");
        const std::vector<FlashingOrder::Step>& steps = FlashingOrder::steps();
        for (int i = 0; i < static_cast<int>(steps.size()); ++i) {
            std::vector<Fault> faults{FailTransfer, Unplug};
            if (!steps[i].write)
                faults.insert(faults.end(),
                              {NeverAnswer, AnswersLate, GarbageReply, WrongLengthReply});
            for (Fault fault : faults) {
                const QString name = steps[i].describe() + QStringLiteral(" ")
                                   + QLatin1String(g_faultNames[fault]);
                QTest::newRow(qPrintable(name)) << i << static_cast<int>(fault);
            }
        }
    }

    void faultAtEveryTransfer()
    {
        QFETCH(int, stepIndex);
        QFETCH(int, fault);
        if (!m_matrix_time.isValid())
            m_matrix_time.start();
        ++m_cases;
        const FlashingOrder::Step& step = FlashingOrder::steps()[stepIndex];
        FaultRig& rig = *m_rig;
        TimedBus& bus = rig.bus;
        VirtualController& controller = *rig.controller;

        rig.startClean(0x0116);
        expectStates({"Update offered"}, "before the run");

        const std::vector<std::uint8_t> garbage
            = fault == GarbageReply ? garbageFor(step) : std::vector<std::uint8_t>();
        if (fault == FailTransfer && step.write)
            bus.failWrite(step.number);
        else if (fault == FailTransfer)
            bus.failRead(step.number);
        else if (fault == Unplug)
            bus.unplugAtTransfer(step.transfer);
        else if (fault == NeverAnswer)
            bus.neverAnswerRead(step.number);
        else if (fault == AnswersLate)
            bus.answerLate(step.number);
        else
            bus.garbageReply(step.number, fault == GarbageReply ? garbage : wrongLengthFor(step));

        const auto held = rig.clickUpdateAndFlash();
        const RunAnalysis run(bus.trace());
        const FaultRig::View after = rig.view();

        // The fault struck the transfer it was meant for.
        QVERIFY(run.transferCount() >= step.transfer);
        const std::vector<int>& failed = run.failedTransfers();
        const bool struck = std::find(failed.begin(), failed.end(), step.transfer) != failed.end();
        QCOMPARE(struck, fault != GarbageReply);

        // Never hung: at most one bounded wait, and no transfer beyond the bound.
        QCOMPARE(bus.timedOutReads(), fault == NeverAnswer || fault == AnswersLate ? 1 : 0);
        const auto bound = std::chrono::milliseconds(g_readTimeoutMs + g_transferSlackMs);
        QVERIFY2(
            bus.longestTransfer() < bound,
            qPrintable(
                QStringLiteral("a transfer took %1 ms").arg(bus.longestTransfer().count() / 1e6)));
        QVERIFY2(held < std::chrono::milliseconds(g_readTimeoutMs * bus.timedOutReads()
                                                  + g_runAllowanceMs),
                 qPrintable(
                     QStringLiteral("the run held the window for %1 ms").arg(held.count() / 1e6)));

        // A failed write leaves the handle with the window, for the next pass to replace.
        if (fault == FailTransfer && step.write)
            QVERIFY(rig.window().deviceHandle() != nullptr);
        // A failed transfer ends the run, wherever it happens; only the info read may fail and
        // leave the stored version to decide.
        const int infoRead = 2;
        for (int number : failed) {
            if (number != infoRead)
                QCOMPARE(number, run.transferCount());
        }
        // A garbage reply fails no transfer: the run goes on or ends by what the program reads in
        // it.
        if (fault == GarbageReply) {
            std::array<std::uint8_t, kReportSize> reply{};
            std::copy(garbage.begin(), garbage.end(), reply.begin() + 1);
            bool endsHere = false;
            if (step.role == FlashingOrder::Role::Checksum)
                endsHere = checksumReplyValue(reply.data()) != g_page_checksums[step.page];
            else if (step.role == FlashingOrder::Role::Info)
                endsHere = infoReplyVersion(reply.data()) >= EMBEDDED_FIRMWARE_VERSION;
            QCOMPARE(run.transferCount() == step.transfer, endsHere);
        }

        // Never lies: Finish, and the flag behind it, only when every page was verified.
        const bool verified = run.everyPageVerifiedInOrder();
        QCOMPARE(rig.window().updateFinished(), verified);
        QCOMPARE(after.state == WindowState::Finished, verified);
        QCOMPARE(after.progressValue, run.expectedProgress());
        if (verified) {
            ++m_finished_despite_fault;
            expectStates({"Finished"}, "after the run");
        } else if (run.writeCount() == 1) {
            expectStates({"Update requested"}, "after the run");
        } else {
            expectStates({"Flashing"}, "after the run");
        }

        // Never bricks: the controller stays in its bootloader and calls a firmware valid only
        // while it is whole: the old one until a page is programmed, then none until the closing
        // page.
        QCOMPARE(controller.mode(), VirtualController::Mode::Bootloader);
        if (controller.programmedPageCount() == 0)
            QCOMPARE(controller.reportedVersion(), std::uint16_t(0x0116));
        else
            QVERIFY(controller.reportedVersion() == BLANK_VERSION_WORD
                    || (controller.reportedVersion() == EMBEDDED_FIRMWARE_VERSION
                        && flashHoldsTheImage(controller)));

        // The next pass, with the fault's aftermath still on the bus.
        const bool found = rig.pass();
        // Every reply answered the command that asked, in the run and in the pass after it: a reply
        // that came after its read gave up was never taken for the answer to a later command.
        const std::vector<int> outOfStep = RunAnalysis(bus.trace()).repliesOutOfStep();
        QVERIFY2(outOfStep.empty()
                     || (fault == GarbageReply && outOfStep == std::vector<int>{step.transfer}),
                 outOfStepMessage(outOfStep, run.transferCount()).constData());

        QCOMPARE(found, fault != Unplug);
        QCOMPARE(bus.openHandleCount(), found ? 1 : 0);
        if (!found)
            expectStates({"No device"}, "after the next pass");
        else if (after.state == WindowState::Finished)
            expectStates({"Flashed in this run"}, "after the next pass");
        else
            expectStates({"Update offered", "Up to date"}, "after the next pass");

        // The fault cleared: replugged, still in the bootloader.
        bus.setPlugged(controller, false);
        QVERIFY(!rig.pass());
        expectStates({"No device"}, "unplugged");
        bus.setPlugged(controller, true);
        QVERIFY(rig.pass());
        const bool complete = controller.reportedVersion() == EMBEDDED_FIRMWARE_VERSION;
        const std::uint16_t reported = controller.reportedVersion();
        QCOMPARE(g_device_version, reported == BLANK_VERSION_WORD ? 0u : std::uint32_t(reported));
        expectStates({complete ? "Up to date" : "Update offered"}, "replugged");

        // A second update completes. A controller that the faulted run already completed is written
        // again the way a user forces it, with Shift held.
        bus.setKeyHeld(HidKey::LeftShift, complete);
        bus.clearTrace();
        bus.resetTiming();
        rig.clickUpdateAndFlash();
        QCOMPARE(bus.writeCount(), FlashingOrder::writeCount());
        QCOMPARE(bus.readCount(), FlashingOrder::readCount());
        QVERIFY(RunAnalysis(bus.trace()).everyPageVerifiedInOrder());
        expectStates({"Finished"}, "after the second update");
        QVERIFY(flashHoldsTheImage(controller));
        QCOMPARE(controller.reportedVersion(), std::uint16_t(EMBEDDED_FIRMWARE_VERSION));
        QVERIFY(rig.pass());
        expectStates({"Flashed in this run"}, "after the second update's next pass");
    }

    void lateReplyToTheDiscoveryPass_data()
    {
        QTest::addColumn<int>("passesBetween");
        QTest::newRow("Update pressed right after it") << 0;
        QTest::newRow("Update pressed after another pass") << 1;
    }

    // The info reply to a discovery pass comes after its read gave up, and waits on the handle that
    // the pass keeps for the update.
    void lateReplyToTheDiscoveryPass()
    {
        QFETCH(int, passesBetween);
        FaultRig& rig = *m_rig;
        rig.startClean(0x0116);
        rig.bus.answerLate(1);
        QVERIFY(rig.pass());
        QCOMPARE(rig.bus.timedOutReads(), 1);
        for (int i = 0; i < passesBetween; ++i)
            QVERIFY(rig.pass());
        expectStates({"Update offered"}, "before the run");

        rig.clickUpdateAndFlash();
        const RunAnalysis run(rig.bus.trace());
        QVERIFY2(run.repliesOutOfStep().empty(),
                 outOfStepMessage(run.repliesOutOfStep(), run.transferCount()).constData());
        QVERIFY(run.everyPageVerifiedInOrder());
        expectStates({"Finished"}, "after the run");
    }

    void cleanupTestCase()
    {
        if (m_cases > 0)
            qInfo("fault matrix: %d cases, %d finished with every page verified despite the fault, "
                  "%.1f s",
                  m_cases, m_finished_despite_fault, m_matrix_time.elapsed() / 1000.0);
        m_rig.reset();
    }

private:
    void expectStates(const QStringList& allowed, const char* when)
    {
        const FaultRig::View view = m_rig->view();
        const QStringList states = FaultRig::matchingStates(view);
        bool fits = false;
        for (const QString& state : allowed)
            fits = fits || states.contains(state);
        QVERIFY2(fits, qPrintable(QStringLiteral("%1: window shows %2 (fits %3), expected %4")
                                      .arg(QLatin1String(when), FaultRig::describe(view),
                                           states.join(QStringLiteral(", ")),
                                           allowed.join(QStringLiteral(" or ")))));
    }

    std::unique_ptr<FaultRig> m_rig;
    int m_cases = 0;
    int m_finished_despite_fault = 0;
    QElapsedTimer m_matrix_time;
};

QTEST_MAIN(TestFaultMatrix)
#include "TestFaultMatrix.moc"
