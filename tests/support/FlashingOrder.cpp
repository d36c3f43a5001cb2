#include "FlashingOrder.h"

#include "BootloaderProtocol.h"
#include "FirmwareImage.h"

#include <QtGlobal>

#include <algorithm>

namespace {

using Role = FlashingOrder::Role;
using Step = FlashingOrder::Step;

std::vector<Step> buildSteps()
{
    std::vector<Step> steps;
    int counts[2] = {};
    const auto add = [&](bool write, Role role, int page, int chunk, bool opening) {
        const int number = ++counts[write ? 1 : 0];
        steps.push_back(
            {write, static_cast<int>(steps.size()) + 1, number, role, page, chunk, opening});
    };
    // A command and the read of its reply.
    const auto exchange = [&](Role role, int page, bool opening = false) {
        add(true, role, page, -1, opening);
        add(false, role, page, -1, opening);
    };
    const auto chunks = [&](int page, bool opening) {
        for (int chunk = 0; chunk < static_cast<int>(FIRMWARE_CHUNKS_PER_PAGE); ++chunk)
            add(true, Role::Chunk, page, chunk, opening);
    };
    const auto page = [&](int page) {
        exchange(Role::SetPage, page);
        chunks(page, false);
        exchange(Role::WritePage, page);
        exchange(Role::Checksum, page);
    };

    exchange(Role::Info, -1);
    exchange(Role::SetPage, FIRMWARE_CLOSING_PAGE, true);
    chunks(FIRMWARE_CLOSING_PAGE, true);
    for (int p = 0; p < static_cast<int>(FIRMWARE_PAGE_COUNT); ++p) {
        if (p != FIRMWARE_CLOSING_PAGE)
            page(p);
    }
    page(FIRMWARE_CLOSING_PAGE);
    return steps;
}

const Step& find(bool write, Role role, int page, int chunk, bool opening)
{
    const std::vector<Step>& steps = FlashingOrder::steps();
    const auto found = std::find_if(steps.begin(), steps.end(), [&](const Step& step) {
        return step.write == write && step.role == role && step.page == page && step.chunk == chunk
            && step.opening == opening;
    });
    if (found == steps.end())
        qFatal("the flashing order has no such %s", write ? "write" : "read");
    return *found;
}

} // namespace

const std::vector<Step>& FlashingOrder::steps()
{
    static const std::vector<Step> g_steps = buildSteps();
    return g_steps;
}

int FlashingOrder::writeCount()
{
    return steps().back().writes();
}

int FlashingOrder::readCount()
{
    return static_cast<int>(steps().size()) - writeCount();
}

std::size_t FlashingOrder::runReports()
{
    return static_cast<std::size_t>(writeCount() - writeOf(Role::Info).number);
}

const Step& FlashingOrder::writeOf(Role role, int page, int chunk, bool opening)
{
    return find(true, role, page, chunk, opening);
}

const Step& FlashingOrder::readOf(Role role, int page, bool opening)
{
    return find(false, role, page, -1, opening);
}

std::uint8_t FlashingOrder::commandOf(Role role)
{
    constexpr std::uint8_t g_codes[]
        = {CMD_GET_INFO, CMD_SET_PAGE, 0, CMD_WRITE_PAGE, CMD_PAGE_CHECKSUM};
    return g_codes[static_cast<int>(role)];
}

const std::vector<int>& FlashingOrder::verifiedOrder()
{
    static const std::vector<int> g_order = [] {
        std::vector<int> order;
        for (const Step& step : steps()) {
            if (step.write && step.role == Role::Checksum)
                order.push_back(step.page);
        }
        return order;
    }();
    return g_order;
}

int FlashingOrder::progressAfter(const std::vector<int>& verified)
{
    if (verified == verifiedOrder())
        return kProgressEnd;
    for (auto page = verified.rbegin(); page != verified.rend(); ++page) {
        if (*page != FIRMWARE_CLOSING_PAGE)
            return *page;
    }
    return 0;
}

bool FlashingOrder::isCommand(const std::uint8_t* data, std::uint8_t command)
{
    return data[0] == COMMAND_LEAD_BYTE && data[1] == command && data[2] == COMMAND_GUARD_BYTE
        && data[3] == 0xFF - command;
}

bool FlashingOrder::isInfo(const Report& report)
{
    return isCommand(report.data(), CMD_GET_INFO);
}

std::vector<std::size_t> FlashingOrder::runStarts(const std::vector<Report>& reports)
{
    std::vector<std::size_t> starts;
    for (std::size_t i = 1; i < reports.size(); ++i) {
        const Report& r = reports[i];
        if (isCommand(r.data(), CMD_SET_PAGE) && r[4] == 0x00 && r[5] == 0x20
            && r[8] == FIRMWARE_CLOSING_PAGE && isInfo(reports[i - 1]))
            starts.push_back(i);
    }
    return starts;
}

int FlashingOrder::commandsWithReply(const std::vector<Report>& reports)
{
    // Chunks go unanswered, and so do pings; a chunk is data whatever it holds.
    int commands = 0;
    int pending = 0;
    for (const Report& report : reports) {
        if (pending > 0) {
            --pending;
            continue;
        }
        const std::uint8_t code = report[1];
        if (code == CMD_SET_PAGE)
            pending = FIRMWARE_CHUNKS_PER_PAGE;
        if (code == CMD_GET_INFO || code == CMD_SET_PAGE || code == CMD_WRITE_PAGE
            || code == CMD_PAGE_CHECKSUM)
            ++commands;
    }
    return commands;
}

QString Step::describe() const
{
    const char* const names[] = {"info", "SET_PAGE", "chunk", "WRITE_PAGE", "CHECKSUM"};
    QString what = QLatin1String(names[static_cast<int>(role)]);
    if (chunk >= 0)
        what += QStringLiteral(" %1").arg(chunk);
    if (page >= 0)
        what += QStringLiteral(" page %1%2")
                    .arg(page)
                    .arg(QLatin1String(opening ? " (opening)" : ""));
    return QStringLiteral("%1 %2 (transfer %3): %4")
        .arg(QLatin1String(write ? "write" : "read"))
        .arg(number)
        .arg(transfer)
        .arg(what);
}
