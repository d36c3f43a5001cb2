#pragma once

#include <memory>

class HidAccess;

// The HID access the program runs with. A build that embeds the stand-in firmware image talks to
// the built-in virtual controller and can never reach a physical one; a build with the vendor's
// image talks to the platform's HID stack.
std::unique_ptr<HidAccess> createHidAccess(bool firmwareIsStandIn);
