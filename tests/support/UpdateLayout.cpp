#include "UpdateLayout.h"

#include "FirmwareImage.h"

namespace {

std::vector<UpdateLayout::Step> buildSteps()
{
    std::vector<UpdateLayout::Step> steps;
    int writes = 0;
    int reads = 0;
    const auto write = [&](UpdateLayout::Role role, int page, int chunk, bool opening) {
        steps.push_back(
            {true, static_cast<int>(steps.size()) + 1, ++writes, role, page, chunk, opening});
    };
    const auto read = [&](UpdateLayout::Role role, int page, bool opening) {
        steps.push_back(
            {false, static_cast<int>(steps.size()) + 1, ++reads, role, page, -1, opening});
    };
    const auto chunks = [&](int page, bool opening) {
        for (int chunk = 0; chunk < static_cast<int>(FIRMWARE_CHUNKS_PER_PAGE); ++chunk)
            write(UpdateLayout::Role::Chunk, page, chunk, opening);
    };
    const auto page = [&](int page) {
        write(UpdateLayout::Role::SetPage, page, -1, false);
        read(UpdateLayout::Role::SetPage, page, false);
        chunks(page, false);
        write(UpdateLayout::Role::WritePage, page, -1, false);
        read(UpdateLayout::Role::WritePage, page, false);
        write(UpdateLayout::Role::Checksum, page, -1, false);
        read(UpdateLayout::Role::Checksum, page, false);
    };

    write(UpdateLayout::Role::Info, -1, -1, false);
    read(UpdateLayout::Role::Info, -1, false);
    write(UpdateLayout::Role::SetPage, FIRMWARE_CLOSING_PAGE, -1, true);
    read(UpdateLayout::Role::SetPage, FIRMWARE_CLOSING_PAGE, true);
    chunks(FIRMWARE_CLOSING_PAGE, true);
    for (int p = 0; p < static_cast<int>(FIRMWARE_PAGE_COUNT); ++p) {
        if (p != FIRMWARE_CLOSING_PAGE)
            page(p);
    }
    page(FIRMWARE_CLOSING_PAGE);
    return steps;
}

} // namespace

const std::vector<UpdateLayout::Step>& UpdateLayout::steps()
{
    static const std::vector<Step> g_steps = buildSteps();
    return g_steps;
}

int UpdateLayout::writeCount()
{
    int count = 0;
    for (const Step& step : steps())
        count += step.write ? 1 : 0;
    return count;
}

int UpdateLayout::readCount()
{
    return static_cast<int>(steps().size()) - writeCount();
}

QString UpdateLayout::Step::describe() const
{
    QString what;
    switch (role) {
    case Role::Info:
        what = QStringLiteral("info");
        break;
    case Role::SetPage:
        what = QStringLiteral("SET_PAGE");
        break;
    case Role::Chunk:
        what = QStringLiteral("chunk %1").arg(chunk);
        break;
    case Role::WritePage:
        what = QStringLiteral("WRITE_PAGE");
        break;
    case Role::Checksum:
        what = QStringLiteral("CHECKSUM");
        break;
    }
    if (page >= 0)
        what += QStringLiteral(" page %1%2")
                    .arg(page)
                    .arg(opening ? QStringLiteral(" (opening)") : QString());
    return QStringLiteral("%1 %2 (transfer %3): %4")
        .arg(write ? QStringLiteral("write") : QStringLiteral("read"))
        .arg(number)
        .arg(transfer)
        .arg(what);
}
