#pragma once

#include <QPoint>
#include <QSize>

#include <cstdint>

struct wl_display;
struct wl_registry;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

// A pointer device of the test's own, on a Wayland connection of its own: the compositor takes
// what it sends as input from a real mouse, with the serials that a move request needs. Each call
// returns only when the compositor has handled it.
class VirtualPointer {
public:
    // Connects to $WAYLAND_DISPLAY; isValid() says whether the compositor offers such pointers.
    VirtualPointer();
    ~VirtualPointer();
    VirtualPointer(const VirtualPointer&) = delete;
    VirtualPointer& operator=(const VirtualPointer&) = delete;

    bool isValid() const { return m_pointer != nullptr; }

    // The compositor's whole output layout, whose origin is (0, 0): what positions are taken in.
    void setLayout(QSize extent) { m_extent = extent; }
    void moveTo(QPoint layoutPosition);
    // Linux input codes: BTN_LEFT (0x110), BTN_RIGHT, BTN_MIDDLE.
    void press(uint32_t button);
    void release(uint32_t button);

private:
    void button(uint32_t button, uint32_t state);
    void sendFrame();
    static uint32_t now();

    static void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
                         uint32_t version);
    static void onGlobalRemoved(void*, wl_registry*, uint32_t) { }

    QSize m_extent;
    wl_display* m_display = nullptr;
    wl_registry* m_registry = nullptr;
    zwlr_virtual_pointer_manager_v1* m_manager = nullptr;
    zwlr_virtual_pointer_v1* m_pointer = nullptr;
};
