#include "HidAccessFactory.h"

#include "PlatformHidAccess.h"
#include "VirtualHidAccess.h"

std::unique_ptr<HidAccess> createHidAccess(bool firmwareIsStandIn)
{
    if (firmwareIsStandIn)
        return VirtualHidAccess::createDemoBus();
    return createPlatformHidAccess();
}
