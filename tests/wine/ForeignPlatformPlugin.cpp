// Another Qt's Windows platform plugin, as far as a Qt that scans plugin folders can tell: a DLL
// named qwindows.dll whose metadata offers the platform "windows". Whatever process loads it
// leaves a file beside it, named after it with ".loaded" appended.

#include <windows.h>

#include <string>

// Qt 5.15's plugin metadata, found by scanning the file: the signature, the metadata version, the
// Qt version (5.15, big-endian), no architecture requirements, then a CBOR map of the interface
// id (key 2) and the user metadata (key 4: {"Keys": ["windows"]}).
extern "C" __attribute__((used)) const unsigned char qt_pluginMetaData[]
    = {'Q',  'T',  'M', 'E', 'T',  'A',  'D', 'A', 'T', 'A', ' ', '!', 0,   5,   15,   0,    0xa2,
       0x02, 0x78, 62,  'o', 'r',  'g',  '.', 'q', 't', '-', 'p', 'r', 'o', 'j', 'e',  'c',  't',
       '.',  'Q',  't', '.', 'Q',  'P',  'A', '.', 'Q', 'P', 'l', 'a', 't', 'f', 'o',  'r',  'm',
       'I',  'n',  't', 'e', 'g',  'r',  'a', 't', 'i', 'o', 'n', 'F', 'a', 'c', 't',  'o',  'r',
       'y',  'I',  'n', 't', 'e',  'r',  'f', 'a', 'c', 'e', '.', '5', '.', '3', 0x04, 0xa1, 0x64,
       'K',  'e',  'y', 's', 0x81, 0x67, 'w', 'i', 'n', 'd', 'o', 'w', 's'};

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(instance, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return TRUE;
    const std::wstring marker = std::wstring(path) + L".loaded";
    const HANDLE file = CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return TRUE;
}
