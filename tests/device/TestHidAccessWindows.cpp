#include "HidAccessWindows.h"

#include "PlatformHidAccess.h"
#include "LiveAllocations.h"
#include "WinTestHarness.h"

#include <setupapi.h>
#include <winternl.h>

extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A device's vendor id in the high half and its product id in the low one, for comparing lists.
using Ids = std::uint32_t;

Ids idsOf(std::uint16_t vendorId, std::uint16_t productId)
{
    return Ids(vendorId) << 16 | productId;
}

// Wine's own HID devices after wineboot.
constexpr Ids kWineMouse = 0x845E0001;
constexpr Ids kWineKeyboard = 0x845E0002;

// The stale interface registered below: linked in the registry, but no device object behind it.
const wchar_t* const g_stale_interface_key
    = L"System\\CurrentControlSet\\Control\\DeviceClasses\\{4D1E55B2-F16F-11CF-88CB-001111000030}"
      L"\\##?#ROOT#LUMARO_STALE#0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const wchar_t* const g_stale_device_key = L"System\\CurrentControlSet\\Enum\\ROOT\\LUMARO_STALE";

bool runsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// All handles of this process: what Windows says, or, where GetProcessHandleCount answers 0 (wine),
// the system's handle table. -1 when neither can be had.
long processHandleCount()
{
    DWORD reported = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &reported) && reported > 0)
        return static_cast<long>(reported);

    struct HandleEntry {
        PVOID object;
        ULONG_PTR processId;
        ULONG_PTR handleValue;
        ULONG grantedAccess;
        USHORT creatorBackTraceIndex;
        USHORT objectTypeIndex;
        ULONG handleAttributes;
        ULONG reserved;
    };
    struct HandleTable {
        ULONG_PTR count;
        ULONG_PTR reserved;
        HandleEntry entries[1];
    };
    const auto systemExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
    constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004L);

    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        const NTSTATUS status
            = NtQuerySystemInformation(systemExtendedHandleInformation, buffer.data(),
                                       static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch && buffer.size() < (1u << 28)) {
            buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
            continue;
        }
        if (status != 0)
            return -1;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        long count = 0;
        for (ULONG_PTR i = 0; i < table->count; ++i) {
            if (table->entries[i].processId == GetCurrentProcessId())
                ++count;
        }
        return count;
    }
}

// A present HID interface as SetupAPI lists it, looked at independently of open_hid_interface:
// whether Windows lets it be opened for reading and writing (it refuses for the keyboards and mice
// it holds itself), and its ids, which a query-only open reads even then.
struct ListedInterface {
    bool opensForReadAndWrite = false;
    bool attributesKnown = false;
    Ids ids = 0;
};

std::vector<ListedInterface> listInterfaces()
{
    std::vector<ListedInterface> listed;
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    const HDEVINFO list
        = SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE)
        return listed;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(list, nullptr, &hidClass, index, &data);
         ++index) {
        ListedInterface entry;
        // Room for any device path; SetupAPI says how much it needs if this is too little.
        std::vector<BYTE> buffer(4096);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (SetupDiGetDeviceInterfaceDetailW(list, &data, detail, static_cast<DWORD>(buffer.size()),
                                             nullptr, nullptr)) {
            const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
            const HANDLE readWrite = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                                 share, nullptr, OPEN_EXISTING, 0, nullptr);
            entry.opensForReadAndWrite = readWrite != INVALID_HANDLE_VALUE;
            if (entry.opensForReadAndWrite)
                CloseHandle(readWrite);
            const HANDLE query
                = CreateFileW(detail->DevicePath, 0, share, nullptr, OPEN_EXISTING, 0, nullptr);
            if (query != INVALID_HANDLE_VALUE) {
                HIDD_ATTRIBUTES attributes = {};
                attributes.Size = sizeof(attributes);
                entry.attributesKnown = HidD_GetAttributes(query, &attributes) != FALSE;
                entry.ids = idsOf(attributes.VendorID, attributes.ProductID);
                CloseHandle(query);
            }
        }
        listed.push_back(entry);
    }
    SetupDiDestroyDeviceInfoList(list);
    return listed;
}

// The ids of the listed interfaces that open for reading and writing and tell them.
std::vector<Ids> openIds(const std::vector<ListedInterface>& listed)
{
    std::vector<Ids> ids;
    for (const ListedInterface& entry : listed) {
        if (entry.opensForReadAndWrite && entry.attributesKnown)
            ids.push_back(entry.ids);
    }
    return ids;
}

bool contains(const std::vector<Ids>& ids, Ids wanted)
{
    return std::find(ids.begin(), ids.end(), wanted) != ids.end();
}

// Wine's own mouse and keyboard come up a moment after its session starts. The enumeration case
// needs both; a wait that ends without them lets it fail.
void awaitWineDevices()
{
    for (int tries = 0; tries < 200; ++tries) {
        const std::vector<Ids> ids = openIds(listInterfaces());
        if (contains(ids, kWineMouse) && contains(ids, kWineKeyboard)) {
            if (tries > 0)
                std::printf("waited %d ms for wine's mouse and keyboard\n", tries * 100);
            return;
        }
        Sleep(100);
    }
    std::printf("wine's mouse and keyboard did not come up within 20 s\n");
}

// True when the handle is open for reading and writing and its I/O is overlapped, which is what
// lets readReport give up on a silent device.
bool openedForBoundedReportIo(HidHandle handle)
{
    IO_STATUS_BLOCK status;
    ULONG mode = 0;
    constexpr ULONG kSynchronousIo = 0x10 | 0x20; // FILE_SYNCHRONOUS_IO_ALERT, _NONALERT
    if (NtQueryInformationFile(handle, &status, &mode, sizeof(mode), FileModeInformation) != 0
        || (mode & kSynchronousIo) != 0)
        return false;
    PUBLIC_OBJECT_BASIC_INFORMATION basic = {};
    if (NtQueryObject(handle, ObjectBasicInformation, &basic, sizeof(basic), nullptr) != 0)
        return false;
    const ACCESS_MASK readAndWrite = FILE_READ_DATA | FILE_WRITE_DATA;
    return (basic.GrantedAccess & readAndWrite) == readAndWrite;
}

struct Walk {
    std::uint32_t present = 0; // indexes before the first null
    std::vector<std::uint32_t> invalidAt; // those that gave INVALID_HID_HANDLE
    std::uint32_t invalidAnswered = 0; // attribute queries and flushes that succeeded on them
    std::uint32_t boundedIo = 0; // opened ones whose reads can time out
    std::uint32_t flushed = 0; // opened ones whose input queue the HID class driver emptied
    std::vector<Ids> ids; // of opened ones that answered
};

// The caller's enumeration: every index up to the first null, attributes only, never a read.
Walk walkInterfaces(HidAccess& access)
{
    Walk walk;
    const HidGuid hidClass = access.getHidGuid();
    for (;;) {
        const HidHandle handle = access.openInterface(hidClass, walk.present);
        if (handle == nullptr)
            break;
        const bool bounded = handle != INVALID_HID_HANDLE && openedForBoundedReportIo(handle);
        const bool flushed = access.flushInput(handle);
        HidAttributes attributes;
        const bool answered = access.getAttributes(handle, &attributes);
        if (handle == INVALID_HID_HANDLE) {
            walk.invalidAt.push_back(walk.present);
            walk.invalidAnswered += (flushed ? 1 : 0) + (answered ? 1 : 0);
        } else {
            walk.boundedIo += bounded ? 1 : 0;
            walk.flushed += flushed ? 1 : 0;
            if (answered)
                walk.ids.push_back(idsOf(attributes.vendorId, attributes.productId));
        }
        access.closeHandle(handle);
        if (++walk.present > 256)
            break;
    }
    return walk;
}

// What a stretch of calls must give back: the process's handles and its C++ allocations.
struct Resources {
    long handles = processHandleCount();
    long allocations = liveAllocations();
};

void checkNothingKept(const Resources& before)
{
    WT_CHECK_EQ(liveAllocations(), before.allocations);
    WT_CHECK(before.handles >= 0);
    WT_CHECK_EQ(processHandleCount(), before.handles);
}

bool setRegistryValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data,
                      DWORD size)
{
    HKEY opened = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &opened, nullptr)
        != ERROR_SUCCESS)
        return false;
    const bool written = RegSetValueExW(opened, name, 0, type, static_cast<const BYTE*>(data), size)
                      == ERROR_SUCCESS;
    RegCloseKey(opened);
    return written;
}

// Wine's SetupAPI lists the interfaces that the registry marks as linked, for devices that the
// registry knows.
bool registerStaleInterface()
{
    const std::wstring interfaceKey = g_stale_interface_key;
    const std::wstring deviceKey = std::wstring(g_stale_device_key) + L"\\0000";
    const wchar_t instance[] = L"ROOT\\LUMARO_STALE\\0000";
    const wchar_t link[] = L"\\\\?\\root#lumaro_stale#0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    const wchar_t hidDeviceClass[] = L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}";
    const DWORD linked = 1;
    return setRegistryValue(deviceKey, L"ClassGUID", REG_SZ, hidDeviceClass, sizeof(hidDeviceClass))
        && setRegistryValue(interfaceKey, L"DeviceInstance", REG_SZ, instance, sizeof(instance))
        && setRegistryValue(interfaceKey + L"\\#", L"SymbolicLink", REG_SZ, link, sizeof(link))
        && setRegistryValue(interfaceKey + L"\\#\\Control", L"Linked", REG_DWORD, &linked,
                            sizeof(linked));
}

// Under wine every HID device opens for reading and writing, while a real PC refuses that for the
// keyboards and mice Windows holds itself. An interface whose link leads nowhere is listed but
// cannot be opened, so the checks below meet a refusal under wine too.
struct RefusingInterfaceUnderWine {
    const bool underWine = runsUnderWine();
    bool staged = false;

    RefusingInterfaceUnderWine()
    {
        if (!underWine)
            return;
        remove();
        staged = registerStaleInterface();
    }
    ~RefusingInterfaceUnderWine()
    {
        if (underWine)
            remove();
    }
    RefusingInterfaceUnderWine(const RefusingInterfaceUnderWine&) = delete;
    RefusingInterfaceUnderWine& operator=(const RefusingInterfaceUnderWine&) = delete;

    static void remove()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, g_stale_interface_key);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, g_stale_device_key);
    }
};

// What the caller's buffer holds before a read.
constexpr std::uint8_t kUnread = 0x5C;

bool untouched(const std::vector<std::uint8_t>& buffer)
{
    return std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == kUnread; });
}

struct Read {
    bool ok = false;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> report = std::vector<std::uint8_t>(kReportSize, kUnread);
};

// A connected pipe whose client end is opened the way open_hid_interface opens a device:
// overlapped, for reading and writing. The server end stands in for the controller.
struct ReportPipe {
    HidAccessWindows access;
    HANDLE server = INVALID_HANDLE_VALUE;
    HANDLE client = INVALID_HANDLE_VALUE;

    ReportPipe()
    {
        static int serial = 0;
        const std::wstring name = L"\\\\.\\pipe\\lumaro-report-"
                                + std::to_wstring(GetCurrentProcessId()) + L"-"
                                + std::to_wstring(++serial);
        server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                  PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                  nullptr);
        client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        WT_CHECK(server != INVALID_HANDLE_VALUE && client != INVALID_HANDLE_VALUE);
    }
    ~ReportPipe()
    {
        if (client != INVALID_HANDLE_VALUE)
            CloseHandle(client);
        if (server != INVALID_HANDLE_VALUE)
            CloseHandle(server);
    }

    // The first `size` bytes of the report.
    bool deviceSends(const std::vector<std::uint8_t>& report, DWORD size = kReportSize)
    {
        DWORD written = 0;
        return WriteFile(server, report.data(), size, &written, nullptr) && written == size;
    }

    Read read()
    {
        Read read;
        read.ok = access.readReport(client, read.report.data(), &read.count, kReportReadTimeoutMs);
        return read;
    }
};

std::vector<std::uint8_t> patternReport(std::uint8_t seed)
{
    std::vector<std::uint8_t> report(kReportSize);
    for (std::size_t i = 0; i < report.size(); ++i)
        report[i] = static_cast<std::uint8_t>(seed + i * 7);
    report[0] = 0;
    return report;
}

long long millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                 - start)
        .count();
}

void testHidClassGuid()
{
    HidAccessWindows access;
    const HidGuid guid = access.getHidGuid();
    const std::uint8_t expectedTail[8] = {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30};
    WT_CHECK_EQ(guid.data1, 0x4D1E55B2u);
    WT_CHECK_EQ(guid.data2, 0xF16Fu);
    WT_CHECK_EQ(guid.data3, 0x11CFu);
    WT_CHECK(std::memcmp(guid.data4, expectedTail, sizeof(expectedTail)) == 0);
}

// Through an interface that refuses to open, too: that path must give back what it took.
void testEnumeration()
{
    const RefusingInterfaceUnderWine refusing;
    HidAccessWindows access;
    const std::vector<ListedInterface> listed = listInterfaces();
    const Walk walk = walkInterfaces(access);

    // Nothing skipped and nothing invented: as many indexes as SetupAPI lists, INVALID_HANDLE_VALUE
    // exactly where Windows refuses read and write access (the walk going on past each one), no
    // attributes and no flush for those, and every other interface open for bounded I/O, its input
    // queue emptied, with the ids Windows reports for it.
    WT_CHECK_EQ(walk.present, static_cast<std::uint32_t>(listed.size()));
    std::vector<std::uint32_t> refused;
    for (std::uint32_t i = 0; i < listed.size(); ++i) {
        if (!listed[i].opensForReadAndWrite)
            refused.push_back(i);
    }
    const std::uint32_t refusedCount = static_cast<std::uint32_t>(refused.size());
    WT_CHECK(walk.invalidAt == refused);
    WT_CHECK_EQ(walk.invalidAnswered, 0u);
    WT_CHECK_EQ(walk.boundedIo, walk.present - refusedCount);
    WT_CHECK_EQ(walk.flushed, walk.present - refusedCount);
    WT_CHECK(walk.ids == openIds(listed));
    if (runsUnderWine()) {
        WT_CHECK(refusing.staged);
        WT_CHECK_EQ(refusedCount, 1u);
        WT_CHECK(contains(walk.ids, kWineMouse));
        WT_CHECK(contains(walk.ids, kWineKeyboard));
    }

    // The walk above warmed SetupAPI's caches.
    const Resources before;
    std::uint32_t visited = 0;
    for (int round = 0; round < 25; ++round)
        visited += walkInterfaces(access).present;
    WT_CHECK(visited >= 25);
    checkNothingKept(before);
    if (refused.empty())
        wintest::skip("no HID interface on this machine refuses read and write access");
}

void testIndexesPastTheEnd()
{
    HidAccessWindows access;
    const HidGuid hidClass = access.getHidGuid();
    const std::uint32_t present = static_cast<std::uint32_t>(listInterfaces().size());
    const std::uint32_t pastEnd[] = {present, present + 1, present + 1000, 0xFFFFFFFFu};

    access.closeHandle(access.openInterface(hidClass, pastEnd[0])); // warms SetupAPI's caches
    const Resources before;
    for (const std::uint32_t index : pastEnd)
        WT_CHECK(access.openInterface(hidClass, index) == nullptr);
    checkNothingKept(before);

    HidGuid notHid = hidClass;
    notHid.data1 ^= 0x01000000u;
    WT_CHECK(access.openInterface(notHid, 0) == nullptr);
}

void testShiftKeysReadAsReleased()
{
    // Nobody presses keys under wine, and wine's GetKeyState answers 0 without a desktop.
    HidAccessWindows access;
    WT_CHECK(!access.isKeyHeld(HidKey::LeftShift));
    WT_CHECK(!access.isKeyHeld(HidKey::RightShift));
}

void testPlatformAccessIsThisOne()
{
    const std::unique_ptr<HidAccess> access = createPlatformHidAccess();
    WT_CHECK(dynamic_cast<HidAccessWindows*>(access.get()) != nullptr);
    WT_CHECK(access && access->reachesHardware());
}

void testWriteSendsExactlyOneReport()
{
    ReportPipe pipe;
    const std::vector<std::uint8_t> report = patternReport(0x31);
    std::uint32_t written = 0;
    WT_CHECK(pipe.access.writeReport(pipe.client, report.data(), &written));
    WT_CHECK_EQ(written, static_cast<std::uint32_t>(kReportSize));

    std::vector<std::uint8_t> arrived(kReportSize + 16, 0xEE);
    DWORD count = 0;
    WT_CHECK(
        ReadFile(pipe.server, arrived.data(), static_cast<DWORD>(arrived.size()), &count, nullptr));
    WT_CHECK_EQ(count, static_cast<DWORD>(kReportSize));
    WT_CHECK(std::equal(report.begin(), report.end(), arrived.begin()));
}

void testSilentDevice()
{
    ReportPipe pipe;
    const auto start = std::chrono::steady_clock::now();
    const Read silent = pipe.read();
    const long long waited = millisecondsSince(start);
    WT_CHECK(!silent.ok);
    WT_CHECK(waited >= static_cast<long long>(kReportReadTimeoutMs) - 20);
    WT_CHECK(waited < static_cast<long long>(kReportReadTimeoutMs) + 3000);
    WT_CHECK(untouched(silent.report));

    // The cancelled read took nothing: a report that arrives afterwards goes to the next read.
    const std::vector<std::uint8_t> late = patternReport(0x77);
    WT_CHECK(pipe.deviceSends(late));
    const Read next = pipe.read();
    WT_CHECK(next.ok);
    WT_CHECK(next.report == late);
}

void testFlushDropsOnlyWhatWaits()
{
    ReportPipe pipe;
    // Two replies nobody read, as a device leaves them when it answers after the read gave up.
    for (const std::uint8_t seed : {0x21, 0x42})
        WT_CHECK(pipe.deviceSends(patternReport(seed)));
    const auto start = std::chrono::steady_clock::now();
    WT_CHECK(pipe.access.flushInput(pipe.client));
    // It waited for no report to come.
    WT_CHECK(millisecondsSince(start) < static_cast<long long>(kReportReadTimeoutMs) / 2);

    // What comes next is read whole, as one report.
    const std::vector<std::uint8_t> fresh = patternReport(0x63);
    WT_CHECK(pipe.deviceSends(fresh));
    const Read read = pipe.read();
    WT_CHECK(read.ok);
    WT_CHECK_EQ(read.count, static_cast<std::uint32_t>(kReportSize));
    WT_CHECK(read.report == fresh);
}

void testShortReportIsNotTakenForAReply()
{
    ReportPipe pipe;
    WT_CHECK(pipe.deviceSends(patternReport(0x10), 10));
    const Read read = pipe.read();
    WT_CHECK(!read.ok);
    WT_CHECK(untouched(read.report));
}

void testOperationsOnUnopenedHandlesFail()
{
    HidAccessWindows access;
    std::vector<std::uint8_t> report(kReportSize, kUnread);
    std::uint32_t count = 0;
    HidAttributes attributes;
    for (const HidHandle handle : {INVALID_HID_HANDLE, HidHandle(nullptr)}) {
        WT_CHECK(!access.getAttributes(handle, &attributes));
        WT_CHECK(!access.getIndexedString(handle, 254, report.data(), 14));
        WT_CHECK(!access.writeReport(handle, report.data(), &count));
        WT_CHECK(!access.readReport(handle, report.data(), &count, kReportReadTimeoutMs));
        WT_CHECK(!access.flushInput(handle));
        access.closeHandle(handle);
    }
    WT_CHECK(untouched(report));
}

void testSleepWaitsAtLeastTheGivenTime()
{
    HidAccessWindows access;
    const auto start = std::chrono::steady_clock::now();
    access.sleepMs(100);
    WT_CHECK(millisecondsSince(start) >= 90);
}

} // namespace

int main()
{
    const wintest::Case cases[] = {
        {"hid class guid", testHidClassGuid},
        {"enumeration visits every interface and keeps nothing", testEnumeration},
        {"indexes past the end give null and allocate nothing", testIndexesPastTheEnd},
        {"shift keys read as released", testShiftKeysReadAsReleased},
        {"platform access is this one", testPlatformAccessIsThisOne},
        {"write sends exactly one report", testWriteSendsExactlyOneReport},
        {"silent device times out, the buffer left alone", testSilentDevice},
        {"flush drops only what waits", testFlushDropsOnlyWhatWaits},
        {"short report is not taken for a reply", testShortReportIsNotTakenForAReply},
        {"operations on unopened handles fail", testOperationsOnUnopenedHandlesFail},
        {"sleep waits at least the given time", testSleepWaitsAtLeastTheGivenTime},
    };
    if (runsUnderWine())
        awaitWineDevices();
    return wintest::runCases(cases);
}
