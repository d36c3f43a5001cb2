#pragma once

#include "BaseWindow.h"
#include "CFindDeviceThread.h"
#include "HidAccess.h"
#include "WindowState.h"

#include <QPointer>

#include <cstdint>
#include <memory>

class WidgetForm;
class WindowAccessibility;

// Identifier and installed version of the last info reply (a blank version is stored as 0).
extern std::uint32_t g_bootloader_id;
extern std::uint32_t g_device_version;

// The updater window. It finds the controller (one discovery pass per signal of its polling
// thread), switches it to its bootloader, offers the update and writes the firmware. All device
// work runs here, on the GUI thread, through one HidAccess.
class Widget : public BaseWindow {
    Q_OBJECT

public:
    // Talks to the HID stack this build is meant for: the built-in virtual controller when the
    // firmware image is a stand-in, the platform's otherwise.
    explicit Widget(QWidget* parent = nullptr);
    // Talks to `hid`, which must outlive the window. A reference, so that a null parent written
    // as nullptr or 0 can only mean the constructor above.
    explicit Widget(HidAccess& hid, QWidget* parent = nullptr);
    ~Widget() override;

    void _Switch_To_Bootloader();
    bool _Query_Device_Info();

    // Read-only views for tools that drive the window (tests, benchmarks).
    CFindDeviceThread* findDeviceThread() const { return m_find_device_thread; }
    HidHandle deviceHandle() const { return m_device_handle; }
    bool updateFinished() const { return m_update_finished; }
    const std::uint8_t* outReport() const { return m_out_report; }
    const std::uint8_t* inReport() const { return m_in_report; }
    // Read from the widgets themselves, so that it holds for whatever moved them.
    WindowState shownState() const;

private slots:
    void on_UpdateBtn_clicked();

public slots:
    void onButtonCloseClicked();
    bool _Open_Update_device();
    void _DownLoad_Firmware_Data(const unsigned char* pdat);
    void _Find_Device();

private:
    Widget(std::unique_ptr<HidAccess> ownedHid, HidAccess* hid, QWidget* parent);
    void clearDeviceState();
    void showOneOf(QWidget* shown, QWidget* hidden);
    void endPass();
    bool sendReport();
    bool readReply(std::uint32_t* bytesRead);
    void dropStaleReplies();
    bool sendPageCommand(std::uint8_t command, std::uint32_t pageAddress, std::uint8_t lastByte);
    bool sendChunkRun(const unsigned char* pdat, std::uint8_t page);
    bool writeAndVerifyPage(const unsigned char* pdat, std::uint8_t page);
    bool isShiftHeld();
    void describeState();

    WidgetForm* m_ui;
    QPointer<CFindDeviceThread> m_find_device_thread;
    std::uint8_t m_page_index = 0;
    std::uint32_t m_chunk_index = 0;
    std::uint32_t m_reported_checksum = 0;
    std::uint32_t m_expected_checksum = 0;
    std::uint32_t m_page_address = 0;
    bool m_update_finished = false;
    bool m_stop_requested = false;
    std::uint8_t m_out_report[kReportSize] = {};
    std::uint8_t m_in_report[kReportSize] = {};
    std::uint32_t m_bytes_written = 0;
    std::uint32_t m_bytes_read = 0;
    HidHandle m_device_handle = nullptr;

    std::unique_ptr<HidAccess> m_owned_hid;
    HidAccess* m_hid;
    std::unique_ptr<WindowAccessibility> m_accessibility;
};
