#include "HidAccess.h"

#include <cstdint>

const HidHandle INVALID_HID_HANDLE = reinterpret_cast<HidHandle>(static_cast<std::intptr_t>(-1));

HidAccess::~HidAccess() = default;
