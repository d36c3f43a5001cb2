#pragma once

#include <cstdint>

// The controller's USB identities and its bootloader's report layout, declared once. Reports are
// 65-byte buffers: byte 0 is the report ID 0, bytes 1 to 64 the data of an unnumbered report.

constexpr std::uint16_t CONTROLLER_VID = 0x0079;
constexpr std::uint16_t PID_NORMAL_MODE = 0x18AE;
constexpr std::uint16_t PID_BOOTLOADER_MODE = 0x1836;

// Vendor id in the low 16 bits, product id in the high 16 bits, compared as one word.
constexpr std::uint32_t hidIdWord(std::uint16_t vendorId, std::uint16_t productId)
{
    return vendorId + productId * 65536u;
}
constexpr std::uint32_t NORMAL_MODE_ID_WORD = hidIdWord(CONTROLLER_VID, PID_NORMAL_MODE);
constexpr std::uint32_t BOOTLOADER_MODE_ID_WORD = hidIdWord(CONTROLLER_VID, PID_BOOTLOADER_MODE);

// The identifier word of the bootloader's info reply.
constexpr std::uint32_t BOOTLOADER_ID = 109;

// A version word of 0xFFFF means no firmware is installed.
constexpr std::uint32_t BLANK_VERSION_WORD = 0xFFFF;

// The string whose requests, with the lengths below and in this order, restart a controller in
// normal mode into its bootloader.
constexpr std::uint32_t SWITCH_STRING_INDEX = 254;
constexpr std::uint32_t SWITCH_STRING_LENGTHS[] = {14, 15, 16, 17, 18};

enum BootloaderCommand : std::uint8_t {
    CMD_GET_INFO = 0xE1,
    CMD_PING = 0xE2,
    CMD_SET_PAGE = 0xE3,
    CMD_WRITE_PAGE = 0xE4,
    CMD_PAGE_CHECKSUM = 0xE5,
};

constexpr std::uint8_t COMMAND_LEAD_BYTE = 0xA5;
constexpr std::uint8_t COMMAND_GUARD_BYTE = 0x5A;
// Byte 9 of CMD_PAGE_CHECKSUM.
constexpr std::uint8_t PAGE_CHECKSUM_FLAG = 0x01;

// Bytes 0 to 4 of every command: 00 A5 code 5A ~code. The rest of the buffer is left as it was:
// the device is given the bytes that stand there (the previous command, the last data chunk or
// the string data of the switch), so they are part of what the controller has always received.
void writeCommandHeader(std::uint8_t* report, BootloaderCommand command);

// Bytes 5 to 8: a page's byte address, little-endian; byte 9: `lastByte`.
void writePageArguments(std::uint8_t* report, std::uint32_t pageAddress, std::uint8_t lastByte);

// Info reply: identifier in bytes 5 (high) and 6 (low), version in bytes 7 (high) and 8 (low).
std::uint32_t infoReplyIdentifier(const std::uint8_t* report);
// The version word as stored: 0xFFFF (blank) becomes 0.
std::uint32_t infoReplyVersion(const std::uint8_t* report);

// Checksum reply: bytes 5 to 8, little-endian.
std::uint32_t checksumReplyValue(const std::uint8_t* report);
