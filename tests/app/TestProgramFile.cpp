// Reads the PE file named on the command line as Windows would before starting it: a 64-bit
// GUI-subsystem program that needs no DLL beside it, only those every Windows 10 and 11 has.

#include "WinTestHarness.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<char> g_file;

// DLLs of every Windows 10 and 11 installation. Qt, the C++ runtime, libgcc and winpthreads are
// not among them: a program importing one of those does not start on a clean machine.
const char* const g_system_dlls[] = {
    "advapi32.dll", "bcrypt.dll",  "comctl32.dll", "comdlg32.dll", "crypt32.dll", "d2d1.dll",
    "d3d11.dll",    "d3d9.dll",    "dwmapi.dll",   "dwrite.dll",   "dxgi.dll",    "gdi32.dll",
    "hid.dll",      "imm32.dll",   "iphlpapi.dll", "kernel32.dll", "mpr.dll",     "msvcrt.dll",
    "netapi32.dll", "ntdll.dll",   "ole32.dll",    "oleaut32.dll", "rpcrt4.dll",  "secur32.dll",
    "setupapi.dll", "shell32.dll", "shlwapi.dll",  "user32.dll",   "userenv.dll", "uxtheme.dll",
    "version.dll",  "winmm.dll",   "ws2_32.dll",   "wtsapi32.dll",
};

template <typename T> bool readAt(std::size_t offset, T& value)
{
    if (offset > g_file.size() || g_file.size() - offset < sizeof(T))
        return false;
    std::memcpy(&value, g_file.data() + offset, sizeof(T));
    return true;
}

bool readHeaders(IMAGE_NT_HEADERS64& nt, std::size_t* sectionsOffset = nullptr)
{
    IMAGE_DOS_HEADER dos;
    if (!readAt(0, dos) || dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0)
        return false;
    const std::size_t ntOffset = static_cast<std::size_t>(dos.e_lfanew);
    if (!readAt(ntOffset, nt) || nt.Signature != IMAGE_NT_SIGNATURE)
        return false;
    if (sectionsOffset)
        *sectionsOffset = ntOffset + offsetof(IMAGE_NT_HEADERS64, OptionalHeader)
                        + nt.FileHeader.SizeOfOptionalHeader;
    return true;
}

// The file offset of an address in the loaded image, or 0 when no section holds it.
std::size_t fileOffset(DWORD rva)
{
    IMAGE_NT_HEADERS64 nt;
    std::size_t offset = 0;
    if (!readHeaders(nt, &offset))
        return 0;
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER section;
        if (!readAt(offset + i * sizeof(section), section))
            return 0;
        if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.SizeOfRawData)
            return rva - section.VirtualAddress + section.PointerToRawData;
    }
    return 0;
}

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The text that starts at a file offset and ends at its NUL or the file's end; "" outside the file.
std::string textAt(std::size_t offset)
{
    if (offset == 0 || offset >= g_file.size())
        return std::string();
    return std::string(g_file.data() + offset,
                       strnlen(g_file.data() + offset, g_file.size() - offset));
}

// The DLL names of one import directory; its descriptors end with one whose name address is 0.
std::vector<std::string> dllNames(const IMAGE_NT_HEADERS64& nt, int directory,
                                  std::size_t descriptorSize, std::size_t nameField)
{
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& entry = nt.OptionalHeader.DataDirectory[directory];
    if (entry.VirtualAddress == 0)
        return names;
    const std::size_t table = fileOffset(entry.VirtualAddress);
    if (!WT_CHECK(table != 0))
        return names;
    for (std::size_t at = table;; at += descriptorSize) {
        DWORD nameRva = 0;
        if (!WT_CHECK(readAt(at + nameField, nameRva)) || nameRva == 0)
            break;
        const std::size_t name = fileOffset(nameRva);
        if (!WT_CHECK(name != 0 && name < g_file.size()))
            break;
        names.push_back(lowerCase(textAt(name)));
    }
    return names;
}

void testIsA64BitGuiProgram()
{
    IMAGE_NT_HEADERS64 nt;
    if (!WT_CHECK(readHeaders(nt)))
        return;
    WT_CHECK_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    WT_CHECK_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    WT_CHECK_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    WT_CHECK((nt.FileHeader.Characteristics & IMAGE_FILE_DLL) == 0);
}

void testImportsOnlySystemDlls()
{
    IMAGE_NT_HEADERS64 nt;
    if (!WT_CHECK(readHeaders(nt))
        || !WT_CHECK_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC))
        return;
    // A DLL loaded on first use is as much a dependency as one loaded at start.
    std::vector<std::string> names
        = dllNames(nt, IMAGE_DIRECTORY_ENTRY_IMPORT, sizeof(IMAGE_IMPORT_DESCRIPTOR),
                   offsetof(IMAGE_IMPORT_DESCRIPTOR, Name));
    const std::vector<std::string> delayed
        = dllNames(nt, IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT, sizeof(IMAGE_DELAYLOAD_DESCRIPTOR),
                   offsetof(IMAGE_DELAYLOAD_DESCRIPTOR, DllNameRVA));
    names.insert(names.end(), delayed.begin(), delayed.end());

    // An import table that cannot be read must not pass as one without foreign DLLs.
    WT_CHECK(std::find(names.begin(), names.end(), "kernel32.dll") != names.end());
    std::string list;
    for (const std::string& name : names) {
        list += " " + name;
        const bool isSystem = std::any_of(std::begin(g_system_dlls), std::end(g_system_dlls),
                                          [&](const char* dll) { return name == dll; });
        wintest::report(isSystem, "imports " + name + ", which Windows does not have", __FILE__,
                        __LINE__);
    }
    std::printf("  %zu bytes, imports:%s\n", g_file.size(), list.c_str());
}

// The names a program imports from one DLL (by name, not by ordinal).
std::vector<std::string> importedNames(const IMAGE_NT_HEADERS64& nt, const std::string& dll)
{
    std::vector<std::string> names;
    const IMAGE_DATA_DIRECTORY& entry
        = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const std::size_t table = fileOffset(entry.VirtualAddress);
    IMAGE_IMPORT_DESCRIPTOR descriptor;
    for (std::size_t at = table; table != 0 && readAt(at, descriptor) && descriptor.Name != 0;
         at += sizeof(descriptor)) {
        if (lowerCase(textAt(fileOffset(descriptor.Name))) != dll)
            continue;
        const DWORD lookup = descriptor.OriginalFirstThunk != 0 ? descriptor.OriginalFirstThunk
                                                                : descriptor.FirstThunk;
        ULONGLONG thunk = 0;
        for (std::size_t slot = fileOffset(lookup); slot != 0 && readAt(slot, thunk) && thunk != 0;
             slot += sizeof(thunk)) {
            const std::size_t byName = fileOffset(DWORD(thunk));
            if ((thunk & IMAGE_ORDINAL_FLAG64) == 0 && byName != 0 && byName + 2 < g_file.size())
                names.push_back(textAt(byName + 2));
        }
    }
    return names;
}

// Windows must never swap the window for a ghost while a flash holds the GUI thread.
void testTurnsOffWindowGhosting()
{
    IMAGE_NT_HEADERS64 nt;
    if (!WT_CHECK(readHeaders(nt)))
        return;
    const std::vector<std::string> names = importedNames(nt, "user32.dll");
    WT_CHECK(!names.empty());
    WT_CHECK(std::find(names.begin(), names.end(), "DisableProcessWindowsGhosting") != names.end());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::printf("usage: TestProgramFile PROGRAM.exe\n");
        return 1;
    }
    std::ifstream file(argv[1], std::ios::binary);
    g_file.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    const wintest::Case cases[] = {
        {"64-bit GUI-subsystem program", testIsA64BitGuiProgram},
        {"imports only Windows system DLLs", testImportsOnlySystemDlls},
        {"turns off window ghosting", testTurnsOffWindowGhosting},
    };
    return wintest::runCases(cases);
}
