#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The flashing order, as the bootloader sees one complete update: the info exchange, the opening
// send of page 16, every other page written and verified, then page 16 written and verified.
// Everything the tests expect of a run is read from these steps: the counts, the position of any
// transfer, the pages in the order they are verified, and the progress a run leaves. Numbers
// count from 1 like the virtual bus's fault numbers, so a step names the fault that hits it.
class FlashingOrder {
public:
    enum class Role { Info, SetPage, Chunk, WritePage, Checksum };
    // The 64 data bytes of an output report, as a device receives them.
    using Report = std::array<std::uint8_t, 64>;

    // What the run leaves on its progress bar once every page is verified.
    static constexpr int kProgressEnd = 62;

    struct Step {
        bool write;
        int transfer;
        // The step's number among the writes, or among the reads.
        int number;
        Role role;
        // -1 for the info exchange.
        int page;
        // 0 to 7 for a chunk, -1 otherwise.
        int chunk;
        // True for the opening send of page 16.
        bool opening;

        // Writes up to and including this step.
        int writes() const { return write ? number : transfer - number; }
        QString describe() const;
    };

    static const std::vector<Step>& steps();
    static int writeCount();
    static int readCount();
    // The reports of a run that follow its own info request.
    static std::size_t runReports();

    // The one step of that role, page and chunk; page 16 has two SET_PAGE and chunk runs, told
    // apart by `opening`.
    static const Step& writeOf(Role role, int page = -1, int chunk = -1, bool opening = false);
    static const Step& readOf(Role role, int page = -1, bool opening = false);
    // The command a step's report carries; 0 for a chunk.
    static std::uint8_t commandOf(Role role);

    // Pages in the order their checksums are asked for: all but the closing page in order, then
    // the closing page.
    static const std::vector<int>& verifiedOrder();
    // The progress value a run leaves that got `verified` confirmed, in that order:
    // kProgressEnd when that is every page in order, else the last verified page other than the
    // closing page, or 0.
    static int progressAfter(const std::vector<int>& verified);

    // Readers of the reports a device received. `data` is the 64 data bytes, behind the report ID.
    static bool isCommand(const std::uint8_t* data, std::uint8_t command);
    static bool isInfo(const Report& report);
    // Where runs start: page 16 selected right after an info request (the run's own). Page 16's
    // closing write selects it too, but after the checksum of page 60.
    static std::vector<std::size_t> runStarts(const std::vector<Report>& reports);
    // Commands the device answers: everything but the data chunks and pings.
    static int commandsWithReply(const std::vector<Report>& reports);
};
