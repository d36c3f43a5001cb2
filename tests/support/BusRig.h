#pragma once

#include "VirtualHidAccess.h"
#include "WindowRig.h"

#include <cstdint>
#include <memory>

// A window rig on a virtual bus of its own, any VirtualHidAccess. Sleeps are recorded, not slept,
// and a read without a reply gives up after `readTimeoutMs`.
template <typename Bus = VirtualHidAccess> class BusRig : public WindowRig {
public:
    explicit BusRig(std::uint32_t readTimeoutMs = 20)
        : WindowRig(std::make_unique<Bus>(), Polling::Stopped)
        , bus(static_cast<Bus&>(ownedHid()))
    {
        bus.setRealSleeps(false);
        bus.setReadTimeoutMs(readTimeoutMs);
    }

    VirtualController& addBootloader(std::uint16_t installedVersion)
    {
        VirtualController& controller = bus.addController();
        controller.setMode(VirtualController::Mode::Bootloader);
        controller.setInstalledVersion(installedVersion);
        return controller;
    }

    Bus& bus;
};
