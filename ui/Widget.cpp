#include "Widget.h"

#include "AccessibleTexts.h"
#include "BootloaderProtocol.h"
#include "CFindDeviceThread.h"
#include "CUpdateThread.h"
#include "CustomTitle.h"
#include "FirmwareImage.h"
#include "HidAccessFactory.h"
#include "KeyboardFocus.h"
#include "WidgetForm.h"
#include "WindowAccessibility.h"

#include <QIcon>
#include <QProgressBar>
#include <QPushButton>

#include <cstring>

std::uint32_t g_bootloader_id = 0;
std::uint32_t g_device_version = 0;

namespace {
constexpr std::uint32_t kSwitchSettleMs = 100;
constexpr int kProgressMaximum = 62;
} // namespace

Widget::Widget(QWidget* parent)
    : Widget(createHidAccess(), nullptr, parent)
{
}

Widget::Widget(HidAccess& hid, QWidget* parent)
    : Widget(nullptr, &hid, parent)
{
}

Widget::Widget(std::unique_ptr<HidAccess> ownedHid, HidAccess* hid, QWidget* parent)
    : BaseWindow(parent)
    , m_ui(new WidgetForm)
    , m_owned_hid(std::move(ownedHid))
    , m_hid(hid ? hid : m_owned_hid.get())
{

    m_ui->setupUi(this);
    m_accessibility = std::make_unique<WindowAccessibility>(
        *this, *m_ui->UpdateBtn, *m_ui->m_update_progress, *m_ui->Finish);
    setWindowIcon(QIcon(QStringLiteral(":/image/res/logo.ico")));

    clearDeviceState();

    // The thread has no parent: it is not stopped or waited for when the window goes, and deletes
    // itself if it ends while the event loop still runs.
    m_find_device_thread = new CFindDeviceThread;
    connect(m_find_device_thread, SIGNAL(FindDevice_Signal()), this, SLOT(_Open_Update_device()));
    connect(m_find_device_thread, SIGNAL(finished()), m_find_device_thread, SLOT(deleteLater()));
    m_find_device_thread->start(QThread::InheritPriority);

    // BaseWindow's constructor bound the same signal to its own close slot first, so a click on
    // the bar's close button closes the window before this stops the polling.
    connect(m_title_bar, SIGNAL(signalButtonCloseClicked()), this, SLOT(onButtonCloseClicked()));

    m_title_bar->setTitleIcon(QStringLiteral(":/image/res/logo.png"), QSize(42, 36));
    m_title_bar->setTitleContent(AccessibleTexts::windowName(), 12);
    m_title_bar->setTitleWidth(width());

    // Update or the finish indicator (they share one place) first, then the bar's buttons.
    new KeyboardFocus(this, {m_ui->UpdateBtn, m_ui->Finish,
                             m_title_bar->findChild<QPushButton*>(QStringLiteral("ButtonMin")),
                             m_title_bar->findChild<QPushButton*>(QStringLiteral("ButtonClose"))});
}

Widget::~Widget()
{
    // An update thread only emits one signal, but one started by a click just before the window
    // goes may not have returned yet; destroying a running QThread aborts the process.
    for (CUpdateThread* updateThread :
         findChildren<CUpdateThread*>(QString(), Qt::FindDirectChildrenOnly))
        updateThread->wait();
    delete m_ui;
}

void Widget::on_UpdateBtn_clicked()
{
    if (m_update_finished)
        return;
    m_ui->m_update_progress->show();
    auto* updateThread = new CUpdateThread(this);
    connect(updateThread, SIGNAL(update_signal(const unsigned char*)), this,
            SLOT(_DownLoad_Firmware_Data(const unsigned char*)));
    updateThread->start(QThread::InheritPriority);
}

void Widget::onButtonCloseClicked()
{
    if (m_find_device_thread)
        m_find_device_thread->m_stop_polling = true;
}

void Widget::_Switch_To_Bootloader()
{
    // The string data the device returns lands at the start of the output report and stays there
    // for the next command.
    for (std::uint32_t length : SWITCH_STRING_LENGTHS) {
        if (!m_hid->getIndexedString(m_device_handle, SWITCH_STRING_INDEX, m_out_report, length))
            return;
    }
}

bool Widget::_Query_Device_Info()
{
    writeCommandHeader(m_out_report, CMD_GET_INFO);
    if (!m_device_handle || !m_hid->writeReport(m_device_handle, m_out_report, &m_bytes_written))
        return false;
    // A pass, not the flashing: a controller that does not answer costs the pass little.
    if (!m_hid->readReport(m_device_handle, m_in_report, &m_bytes_written,
                           kDiscoveryReplyTimeoutMs))
        return false;
    g_bootloader_id = infoReplyIdentifier(m_in_report);
    g_device_version = infoReplyVersion(m_in_report);
    return g_bootloader_id == BOOTLOADER_ID;
}

bool Widget::_Open_Update_device()
{
    if (m_device_handle) {
        m_hid->closeHandle(m_device_handle);
        m_device_handle = nullptr;
    }

    const HidGuid hidClass = m_hid->getHidGuid();
    for (std::uint32_t index = 0;; ++index) {
        m_device_handle = m_hid->openInterface(hidClass, index);
        if (!m_device_handle)
            break;

        HidAttributes attributes;
        if (!m_hid->getAttributes(m_device_handle, &attributes)) {
            m_hid->closeHandle(m_device_handle);
            continue;
        }
        const std::uint32_t idWord = hidIdWord(attributes.vendorId, attributes.productId);
        if (idWord == NORMAL_MODE_ID_WORD) {
            // The controller restarts into its bootloader and shows up again on a later pass.
            _Switch_To_Bootloader();
            m_hid->sleepMs(kSwitchSettleMs);
            m_hid->closeHandle(m_device_handle);
            continue;
        }
        if (idWord != BOOTLOADER_MODE_ID_WORD) {
            m_hid->closeHandle(m_device_handle);
            continue;
        }

        // The bootloader stays open for the flashing sequence. Its state is known before any
        // widget changes: a pass that finds what the last one found must change nothing, or
        // focus and a screen reader would follow every pass.
        m_device_connected = true;
        update();
        _Query_Device_Info();
        const bool done = m_update_finished || g_device_version >= EMBEDDED_FIRMWARE_VERSION;
        showOneOf(done ? m_ui->Finish : m_ui->UpdateBtn, done ? m_ui->UpdateBtn : m_ui->Finish);
        describeState();
        endPass();
        return true;
    }

    clearDeviceState();
    update();
    endPass();
    return false;
}

// Only now may the polling thread ask for the next pass: one asked for while this one ran would be
// run straight after it, and a pass slower than the period would leave the window no time between.
void Widget::endPass()
{
    if (m_find_device_thread)
        m_find_device_thread->passEnded();
}

// They share one place. The one going away goes first, so that keyboard focus on it moves to the
// one that takes its place.
void Widget::showOneOf(QWidget* shown, QWidget* hidden)
{
    hidden->hide();
    shown->show();
}

// What the window shows while no bootloader is held: the start picture and none of the form.
void Widget::clearDeviceState()
{
    m_update_finished = false;
    m_device_connected = false;
    m_ui->m_update_progress->setValue(0);
    m_ui->m_update_progress->hide();
    m_ui->UpdateBtn->hide();
    m_ui->Finish->hide();
    describeState();
}

// The window may not be on screen yet, so it is the widgets' own hiding that counts, not their
// visibility.
WindowState Widget::shownState() const
{
    const bool update = !m_ui->UpdateBtn->isHidden();
    const bool progress = !m_ui->m_update_progress->isHidden();
    const bool finish = !m_ui->Finish->isHidden();
    if (!m_device_connected) {
        const bool anyShown = update || progress || finish || m_update_finished;
        return anyShown ? WindowState::Contradictory : WindowState::NoDevice;
    }
    if (finish) {
        if (update)
            return WindowState::Contradictory;
        return m_update_finished ? WindowState::Finished : WindowState::UpToDate;
    }
    if (m_update_finished)
        return WindowState::Contradictory;
    if (update)
        return WindowState::UpdateOffered;
    return progress ? WindowState::Flashing : WindowState::UpdateMode;
}

// The pictures and the visible form show the state; a screen reader learns it from here.
void Widget::describeState()
{
    m_accessibility->refresh(shownState(), g_device_version);
}

bool Widget::sendReport()
{
    return m_device_handle && m_hid->writeReport(m_device_handle, m_out_report, &m_bytes_written);
}

bool Widget::readReply(std::uint32_t* bytesRead)
{
    return m_hid->readReport(m_device_handle, m_in_report, bytesRead, kReportReadTimeoutMs);
}

// Whatever waits in the input queue answers an earlier command: a reply that came after its read
// gave up. Left there it would be taken for the answer to the next command, and every later reply
// for the one before it. Called only between exchanges, so no reply still awaited is dropped.
void Widget::dropStaleReplies()
{
    if (m_device_handle)
        m_hid->flushInput(m_device_handle);
}

bool Widget::sendPageCommand(std::uint8_t command, std::uint32_t pageAddress, std::uint8_t lastByte)
{
    writeCommandHeader(m_out_report, static_cast<BootloaderCommand>(command));
    writePageArguments(m_out_report, pageAddress, lastByte);
    return sendReport();
}

bool Widget::sendChunkRun(const unsigned char* pdat, std::uint8_t page)
{
    // Byte 0 still holds the report ID of the CMD_SET_PAGE that precedes every run.
    for (m_chunk_index = 0; m_chunk_index < FIRMWARE_CHUNKS_PER_PAGE; ++m_chunk_index) {
        std::memcpy(m_out_report + 1,
                    pdat + firmwarePageAddress(page) + m_chunk_index * FIRMWARE_CHUNK_SIZE,
                    FIRMWARE_CHUNK_SIZE);
        if (!sendReport())
            return false;
    }
    return true;
}

// Every reply is needed to stay in step with the device: a reply that did not come within the read
// bound may still come later and would then be taken for the answer to the next command, so a
// failed read ends the run just as a checksum mismatch does.
bool Widget::writeAndVerifyPage(const unsigned char* pdat, std::uint8_t page)
{
    m_page_address = firmwarePageAddress(page);
    if (!sendPageCommand(CMD_SET_PAGE, m_page_address, page) || !readReply(&m_bytes_read))
        return false;
    if (!sendChunkRun(pdat, page))
        return false;
    writeCommandHeader(m_out_report, CMD_WRITE_PAGE);
    if (!sendReport() || !readReply(&m_bytes_read))
        return false;
    if (!sendPageCommand(CMD_PAGE_CHECKSUM, m_page_address, PAGE_CHECKSUM_FLAG))
        return false;
    m_expected_checksum = g_page_checksums[page];
    if (!readReply(&m_bytes_read))
        return false;
    m_reported_checksum = checksumReplyValue(m_in_report);
    return m_reported_checksum == m_expected_checksum;
}

bool Widget::isShiftHeld()
{
    return m_hid->isKeyHeld(HidKey::LeftShift) || m_hid->isKeyHeld(HidKey::RightShift);
}

void Widget::_DownLoad_Firmware_Data(const unsigned char* pdat)
{
    // A stand-in image exists to exercise the updater; it must never be written to a real
    // controller, whatever HID access this window was given.
    if (!pdat || (g_firmware_is_stand_in && m_hid->reachesHardware()))
        return;

    m_page_index = 0;
    m_expected_checksum = 0;
    m_reported_checksum = 0;
    m_chunk_index = 0;
    m_ui->m_update_progress->setRange(0, kProgressMaximum);
    m_ui->m_update_progress->setValue(0);

    // The handle was opened by the last discovery pass, whose info reply may have come after
    // its read gave up.
    dropStaleReplies();
    writeCommandHeader(m_out_report, CMD_GET_INFO);
    if (!sendReport())
        return;
    if (readReply(&m_bytes_read)) {
        g_bootloader_id = infoReplyIdentifier(m_in_report);
        g_device_version = infoReplyVersion(m_in_report);
    } else {
        // The only read whose failure does not end the run; should its reply still come, it
        // must not answer the first page command.
        dropStaleReplies();
    }
    // A controller that already runs this version or a later one is written again only on request.
    if (g_device_version > EMBEDDED_FIRMWARE_VERSION - 1 && !isShiftHeld())
        return;

    m_ui->UpdateBtn->hide();
    m_ui->Finish->hide();
    // The flash is about to be rewritten: neither an earlier run's success nor the version read
    // before describes the controller any more. A run that stops short must leave the window
    // offering the update, not showing it done.
    m_update_finished = false;
    g_device_version = 0;
    // The run holds the GUI thread; paint the window once now so the button does not linger on
    // screen while the progress bar, which repaints itself, advances.
    repaint();
    describeState();

    // Page 16 makes the firmware valid. It is sent first but not committed, so the controller
    // holds it while every other page is written, and it is written and verified last: an update
    // cut short anywhere leaves the controller in its bootloader, ready for another try.
    m_page_index = FIRMWARE_CLOSING_PAGE;
    m_page_address = firmwarePageAddress(FIRMWARE_CLOSING_PAGE);
    if (!sendPageCommand(CMD_SET_PAGE, m_page_address, m_page_index) || !readReply(&m_bytes_read))
        return;
    if (!sendChunkRun(pdat, FIRMWARE_CLOSING_PAGE))
        return;

    for (m_page_index = 0; m_page_index < FIRMWARE_PAGE_COUNT; ++m_page_index) {
        if (m_page_index == FIRMWARE_CLOSING_PAGE)
            continue;
        if (!writeAndVerifyPage(pdat, m_page_index))
            return;
        m_ui->m_update_progress->setValue(m_page_index);
    }

    m_page_index = FIRMWARE_CLOSING_PAGE;
    if (!writeAndVerifyPage(pdat, m_page_index))
        return;

    m_ui->m_update_progress->setValue(kProgressMaximum);
    m_ui->UpdateBtn->hide();
    m_ui->Finish->show();
    m_update_finished = true;
    describeState();
}

void Widget::_Find_Device()
{
    // Keeps a bootloader open and alive with pings, reopening it when a ping fails.
    while (!m_stop_requested) {
        if (!m_device_handle) {
            m_hid->sleepMs(1000);
            if (_Open_Update_device())
                _Query_Device_Info();
            continue;
        }
        m_hid->sleepMs(200);
        if (m_update_finished)
            continue;
        writeCommandHeader(m_out_report, CMD_PING);
        if (sendReport())
            continue;
        m_hid->closeHandle(m_device_handle);
        m_device_handle = nullptr;
        if (m_stop_requested)
            return;
    }
}
