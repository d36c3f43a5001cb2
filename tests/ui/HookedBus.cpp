#include "HookedBus.h"

HidGuid HookedBus::getHidGuid()
{
    ++m_passes;
    if (onPassStart)
        onPassStart(m_passes);
    return VirtualHidAccess::getHidGuid();
}

bool HookedBus::writeReport(HidHandle handle, const std::uint8_t* report,
                            std::uint32_t* bytesWritten)
{
    const bool ok = VirtualHidAccess::writeReport(handle, report, bytesWritten);
    ++m_writes;
    if (onWrite)
        onWrite(m_writes);
    return ok;
}
