#include "OpenCountingHidAccess.h"

#include "BootloaderProtocol.h"

HidHandle OpenCountingHidAccess::openInterface(const HidGuid& hidClass, std::uint32_t index)
{
    const HidHandle handle = ForwardingHidAccess::openInterface(hidClass, index);
    if (handle == INVALID_HID_HANDLE)
        ++m_unopenable;
    else if (handle)
        m_unsorted = handle;
    return handle;
}

bool OpenCountingHidAccess::getAttributes(HidHandle handle, HidAttributes* attributes)
{
    const bool read = ForwardingHidAccess::getAttributes(handle, attributes);
    if (handle && handle == m_unsorted) {
        const std::uint32_t id = read ? hidIdWord(attributes->vendorId, attributes->productId) : 0;
        if (id == NORMAL_MODE_ID_WORD || id == BOOTLOADER_MODE_ID_WORD)
            ++m_controller_opens;
        else
            ++m_foreign_opens;
        m_unsorted = nullptr;
    }
    return read;
}
