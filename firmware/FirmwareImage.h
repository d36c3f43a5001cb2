#pragma once

#include <cstddef>
#include <cstdint>

#include "FirmwareVersion.h"

// The firmware release that this program installs, compiled in: the image, the checksum the
// controller must report for each page once written, and the image's version.

constexpr std::size_t FIRMWARE_PAGE_SIZE = 512;
constexpr std::size_t FIRMWARE_CHUNK_SIZE = 64;
constexpr std::size_t FIRMWARE_CHUNKS_PER_PAGE = FIRMWARE_PAGE_SIZE / FIRMWARE_CHUNK_SIZE;
constexpr std::size_t FIRMWARE_PAGE_COUNT = 61;
constexpr std::size_t FIRMWARE_IMAGE_SIZE = FIRMWARE_PAGE_COUNT * FIRMWARE_PAGE_SIZE;

// The version word of the image as the bootloader's info reply carries it: M.mm as the title shows
// it, read as hexadecimal digits. The build takes it with the image and its checksum table.
constexpr std::uint32_t EMBEDDED_FIRMWARE_VERSION = LUMARO_FIRMWARE_VERSION_WORD;

// The page that makes the firmware valid: sent first without being committed, written and
// verified last, so that an interrupted update leaves the controller in its bootloader.
constexpr std::uint8_t FIRMWARE_CLOSING_PAGE = 16;

extern const unsigned char g_firmware_image[FIRMWARE_IMAGE_SIZE];

// Entry p is the checksum the controller reports for page p; one unused 0 follows.
extern const std::uint32_t g_page_checksums[FIRMWARE_PAGE_COUNT + 1];

// True when the build had no vendor image and embedded the stand-in, which must never reach a
// physical controller.
extern const bool g_firmware_is_stand_in;

constexpr std::uint32_t firmwarePageAddress(std::uint32_t page)
{
    return page * static_cast<std::uint32_t>(FIRMWARE_PAGE_SIZE);
}
