#include "VirtualPointer.h"

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <cstring>
#include <ctime>

VirtualPointer::VirtualPointer()
{
    m_display = wl_display_connect(nullptr);
    if (!m_display)
        return;
    static const wl_registry_listener listener
        = {&VirtualPointer::onGlobal, &VirtualPointer::onGlobalRemoved};
    m_registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(m_registry, &listener, this);
    wl_display_roundtrip(m_display);
    if (!m_manager)
        return;
    // No seat named: the compositor's default one, where the window under test gets its input.
    m_pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(m_manager, nullptr);
    wl_display_roundtrip(m_display);
}

VirtualPointer::~VirtualPointer()
{
    if (m_pointer)
        zwlr_virtual_pointer_v1_destroy(m_pointer);
    if (m_manager)
        zwlr_virtual_pointer_manager_v1_destroy(m_manager);
    if (m_registry)
        wl_registry_destroy(m_registry);
    if (m_display) {
        wl_display_roundtrip(m_display);
        wl_display_disconnect(m_display);
    }
}

void VirtualPointer::onGlobal(void* data, wl_registry* registry, uint32_t name,
                              const char* interface, uint32_t)
{
    auto* self = static_cast<VirtualPointer*>(data);
    if (std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0)
        self->m_manager = static_cast<zwlr_virtual_pointer_manager_v1*>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}

void VirtualPointer::moveTo(QPoint layoutPosition)
{
    zwlr_virtual_pointer_v1_motion_absolute(
        m_pointer, now(), uint32_t(layoutPosition.x()), uint32_t(layoutPosition.y()),
        uint32_t(m_extent.width()), uint32_t(m_extent.height()));
    sendFrame();
}

void VirtualPointer::press(uint32_t button)
{
    this->button(button, WL_POINTER_BUTTON_STATE_PRESSED);
}

void VirtualPointer::release(uint32_t button)
{
    this->button(button, WL_POINTER_BUTTON_STATE_RELEASED);
}

void VirtualPointer::button(uint32_t button, uint32_t state)
{
    zwlr_virtual_pointer_v1_button(m_pointer, now(), button, state);
    sendFrame();
}

void VirtualPointer::sendFrame()
{
    zwlr_virtual_pointer_v1_frame(m_pointer);
    // Requests on one connection are handled in order: once the sync returns, so has the event.
    wl_display_roundtrip(m_display);
}

uint32_t VirtualPointer::now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    return uint32_t(time.tv_sec * 1000 + time.tv_nsec / 1000000);
}
