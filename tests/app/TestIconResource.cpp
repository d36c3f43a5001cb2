// The program file's icon as Explorer finds it: in this test's own resources (linked with
// app/lumaro-updater.rc), or in the module named on the command line, loaded as a resource file.

#include "WinTestHarness.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const WORD g_us_english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
HMODULE g_module = nullptr;

#pragma pack(push, 2)
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInResource;
    WORD id;
};
#pragma pack(pop)

BOOL CALLBACK countName(HMODULE, LPCWSTR, LPWSTR, LONG_PTR count)
{
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

void testOneGroupIconNamedIdiIcon1()
{
    int groups = 0;
    EnumResourceNamesW(g_module, RT_GROUP_ICON, countName, reinterpret_cast<LONG_PTR>(&groups));
    WT_CHECK_EQ(groups, 1);
    WT_CHECK_EQ(g_us_english, 1033);
    WT_CHECK(FindResourceExW(g_module, RT_GROUP_ICON, L"IDI_ICON1", g_us_english) != nullptr);
}

void testIconIsOne152By152ImageAt32Bits()
{
    const HRSRC groupResource
        = FindResourceExW(g_module, RT_GROUP_ICON, L"IDI_ICON1", g_us_english);
    if (!WT_CHECK(groupResource != nullptr))
        return;
    const DWORD groupSize = SizeofResource(g_module, groupResource);
    const auto* group
        = static_cast<const BYTE*>(LockResource(LoadResource(g_module, groupResource)));
    WT_CHECK_EQ(groupSize, static_cast<DWORD>(sizeof(GroupIconHeader) + sizeof(GroupIconEntry)));
    if (group == nullptr || groupSize < sizeof(GroupIconHeader) + sizeof(GroupIconEntry))
        return;

    GroupIconHeader header;
    GroupIconEntry entry;
    std::memcpy(&header, group, sizeof(header));
    std::memcpy(&entry, group + sizeof(header), sizeof(entry));
    WT_CHECK_EQ(header.type, 1);
    WT_CHECK_EQ(header.count, 1);
    WT_CHECK_EQ(entry.width, 152);
    WT_CHECK_EQ(entry.height, 152);
    WT_CHECK_EQ(entry.planes, 1);
    WT_CHECK_EQ(entry.bitCount, 32);
    WT_CHECK_EQ(entry.bytesInResource, 95496u);
    WT_CHECK_EQ(entry.id, 1);

    const HRSRC imageResource
        = FindResourceExW(g_module, RT_ICON, MAKEINTRESOURCEW(entry.id), g_us_english);
    if (!WT_CHECK(imageResource != nullptr))
        return;
    WT_CHECK_EQ(SizeofResource(g_module, imageResource), entry.bytesInResource);
    const auto* image
        = static_cast<const BYTE*>(LockResource(LoadResource(g_module, imageResource)));
    if (!WT_CHECK(image != nullptr))
        return;
    BITMAPINFOHEADER bitmap;
    std::memcpy(&bitmap, image, sizeof(bitmap));
    WT_CHECK_EQ(bitmap.biSize, static_cast<DWORD>(sizeof(BITMAPINFOHEADER)));
    WT_CHECK_EQ(bitmap.biWidth, 152);
    WT_CHECK_EQ(bitmap.biHeight, 2 * 152); // colour rows, then the mask's
    WT_CHECK_EQ(bitmap.biBitCount, 32);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        // Mapped for its resources only: nothing of it runs, and its imports are not loaded.
        g_module = LoadLibraryExA(argv[1], nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (g_module == nullptr) {
            std::printf("cannot load %s as a resource file (error %lu)\n", argv[1], GetLastError());
            return 1;
        }
    }
    const wintest::Case cases[] = {
        {"one group icon named IDI_ICON1 in language 1033", testOneGroupIconNamedIdiIcon1},
        {"icon is one 152x152 image at 32 bits", testIconIsOne152By152ImageAt32Bits},
    };
    return wintest::runCases(cases);
}
