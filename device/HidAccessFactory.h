#pragma once

#include <memory>

class HidAccess;

// The HID access the program runs with, fixed by the build: one that embeds the stand-in firmware
// image defines this in the simulator and talks only to its virtual controller; one with the
// vendor's image defines it here, on the platform's HID stack, and links no simulator at all.
std::unique_ptr<HidAccess> createHidAccess();
