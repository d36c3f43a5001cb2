// Linked with app/lumaro-updater.rc: the program file's icon as Explorer finds it.

#include "WinTestHarness.h"

#include <windows.h>

#include <cstring>

namespace {

const WORD g_us_english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

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
    EnumResourceNamesW(nullptr, RT_GROUP_ICON, countName, reinterpret_cast<LONG_PTR>(&groups));
    WT_CHECK_EQ(groups, 1);
    WT_CHECK_EQ(g_us_english, 1033);
    WT_CHECK(FindResourceExW(nullptr, RT_GROUP_ICON, L"IDI_ICON1", g_us_english) != nullptr);
}

void testIconIsOne152By152ImageAt32Bits()
{
    const HRSRC groupResource = FindResourceExW(nullptr, RT_GROUP_ICON, L"IDI_ICON1", g_us_english);
    WT_CHECK(groupResource != nullptr);
    if (groupResource == nullptr)
        return;
    const DWORD groupSize = SizeofResource(nullptr, groupResource);
    const auto* group = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, groupResource)));
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

    const HRSRC imageResource =
        FindResourceExW(nullptr, RT_ICON, MAKEINTRESOURCEW(entry.id), g_us_english);
    WT_CHECK(imageResource != nullptr);
    if (imageResource == nullptr)
        return;
    WT_CHECK_EQ(SizeofResource(nullptr, imageResource), entry.bytesInResource);
    const auto* image =
        static_cast<const BYTE*>(LockResource(LoadResource(nullptr, imageResource)));
    WT_CHECK(image != nullptr);
    if (image == nullptr)
        return;
    BITMAPINFOHEADER bitmap;
    std::memcpy(&bitmap, image, sizeof(bitmap));
    WT_CHECK_EQ(bitmap.biSize, static_cast<DWORD>(sizeof(BITMAPINFOHEADER)));
    WT_CHECK_EQ(bitmap.biWidth, 152);
    WT_CHECK_EQ(bitmap.biHeight, 2 * 152);  // colour rows, then the mask's
    WT_CHECK_EQ(bitmap.biBitCount, 32);
}

} // namespace

int main()
{
    const wintest::Case cases[] = {
        {"one group icon named IDI_ICON1 in language 1033", testOneGroupIconNamedIdiIcon1},
        {"icon is one 152x152 image at 32 bits", testIconIsOne152By152ImageAt32Bits},
    };
    return wintest::runCases(cases);
}
