#include "BootloaderProtocol.h"

void writeCommandHeader(std::uint8_t* report, BootloaderCommand command)
{
    report[0] = 0x00;
    report[1] = COMMAND_LEAD_BYTE;
    report[2] = command;
    report[3] = COMMAND_GUARD_BYTE;
    report[4] = static_cast<std::uint8_t>(0xFF - command);
}

void writePageArguments(std::uint8_t* report, std::uint32_t pageAddress, std::uint8_t lastByte)
{
    report[5] = static_cast<std::uint8_t>(pageAddress);
    report[6] = static_cast<std::uint8_t>(pageAddress >> 8);
    report[7] = static_cast<std::uint8_t>(pageAddress >> 16);
    report[8] = static_cast<std::uint8_t>(pageAddress >> 24);
    report[9] = lastByte;
}

std::uint32_t infoReplyIdentifier(const std::uint8_t* report)
{
    return report[5] * 256u + report[6];
}

std::uint32_t infoReplyVersion(const std::uint8_t* report)
{
    const std::uint32_t version = report[7] * 256u + report[8];
    return version == BLANK_VERSION_WORD ? 0 : version;
}

std::uint32_t checksumReplyValue(const std::uint8_t* report)
{
    return report[5] | report[6] << 8 | report[7] << 16
         | static_cast<std::uint32_t>(report[8]) << 24;
}
