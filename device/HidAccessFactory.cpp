#include "HidAccessFactory.h"

#include "HidAccess.h"
#include "PlatformHidAccess.h"

std::unique_ptr<HidAccess> createHidAccess()
{
    return createPlatformHidAccess();
}
