#include "HidAccessFactory.h"

#include "VirtualHidBus.h"

std::unique_ptr<HidAccess> createHidAccess()
{
    return VirtualHidBus::createDemoBus();
}
