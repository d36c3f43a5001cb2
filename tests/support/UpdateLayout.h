#pragma once

#include <QString>

#include <vector>

// The transfers of one complete update, in order, as the bootloader sees them: the info exchange,
// the opening send of page 16, every other page, and the closing write of page 16. Numbers count
// from 1 like the virtual bus's fault numbers, so a step names the fault that hits it.
class UpdateLayout {
public:
    enum class Role { Info, SetPage, Chunk, WritePage, Checksum };

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

        QString describe() const;
    };

    static const std::vector<Step>& steps();
    static int writeCount();
    static int readCount();
};
