#pragma once

#include <memory>

class HidAccess;

// The HID stack of the platform the program was built for, reaching real devices. Each platform's
// implementation file defines it; the build picks the file.
std::unique_ptr<HidAccess> createPlatformHidAccess();
