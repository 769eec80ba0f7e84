// The resources in a built program file: the tray menu, the icon groups, the version
// information and the manifest, read from the file as data.
#include "base/ScopedWin.h"
#include "resources/resource.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Scratch.h"

#include "KestovaVersion.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// The shipped program file, whose resources are checked.
std::wstring ResourceModulePath() { return BuiltProgramPath(L"Kestova.exe"); }

class ResourcesTest : public testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryExW(ResourceModulePath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override
    {
        if (module_) FreeLibrary(module_);
    }

    // The bytes of one resource, or an empty text.
    std::string ResourceBytes(const wchar_t* type, const wchar_t* name)
    {
        HRSRC found = FindResourceW(module_, name, type);
        if (!found) return {};
        HGLOBAL loaded = LoadResource(module_, found);
        const char* bytes = static_cast<const char*>(LockResource(loaded));
        return bytes ? std::string(bytes, SizeofResource(module_, found)) : std::string();
    }

    HMODULE module_ = nullptr;
};

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR collected)
{
    reinterpret_cast<std::vector<WORD>*>(collected)->push_back(language);
    return TRUE;
}

TEST_F(ResourcesTest, TrayMenuIsChineseWithFiveItemsInOrder)
{
    std::vector<WORD> languages;
    EnumResourceLanguagesW(module_, RT_MENU, MAKEINTRESOURCEW(IDR_TRAYMENU), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_THAT(languages, testing::ElementsAre(MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED)));

    UniqueMenu owner(LoadMenuW(module_, MAKEINTRESOURCEW(102)));
    HMENU menu = owner.get();
    ASSERT_NE(menu, nullptr);
    ASSERT_EQ(GetMenuItemCount(menu), 1);
    wchar_t text[64] = {};
    GetMenuStringW(menu, 0, text, ARRAYSIZE(text), MF_BYPOSITION);
    EXPECT_STREQ(text, L"TrayMenu");
    HMENU popup = GetSubMenu(menu, 0);
    ASSERT_NE(popup, nullptr);

    struct Item {
        const wchar_t* text; // null: a separator
        UINT id;
    };
    const Item expected[] = {
        {L"立即备份(&B)", 40002}, {L"还原(&R)", 40003}, {nullptr, 0}, {L"选项(&O)", 40005}, {L"退出(&E)", 40001},
    };
    ASSERT_EQ(GetMenuItemCount(popup), static_cast<int>(ARRAYSIZE(expected)));
    for (UINT i = 0; i < ARRAYSIZE(expected); ++i) {
        SCOPED_TRACE(testing::Message() << "item " << i);
        wchar_t itemText[64] = {};
        MENUITEMINFOW info{};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING | MIIM_SUBMENU;
        info.dwTypeData = itemText;
        info.cch = ARRAYSIZE(itemText);
        ASSERT_TRUE(GetMenuItemInfoW(popup, i, TRUE, &info));
        EXPECT_EQ(info.hSubMenu, nullptr);
        if (!expected[i].text) {
            EXPECT_TRUE(info.fType & MFT_SEPARATOR);
            continue;
        }
        EXPECT_FALSE(info.fType & MFT_SEPARATOR);
        EXPECT_EQ(info.wID, expected[i].id);
        EXPECT_EQ(std::wstring(itemText), expected[i].text);
    }
}

#pragma pack(push, 2)
struct GroupIconHeader {
    WORD reserved, type, count;
};
struct GroupIconEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14);

TEST_F(ResourcesTest, IconGroupsHoldTheListedSizesAndDepths)
{
    using Image = std::pair<int, int>; // size in pixels, bits per pixel
    struct Case {
        int group;
        std::vector<Image> images;
    };
    const Case cases[] = {
        // The tray icon and its failure form: the small icon size at 100, 125, 150 and
        // 200 % scaling, so the system never stretches a 16-pixel image into a blur.
        {103, {{16, 8}, {16, 24}, {16, 32}, {20, 8}, {20, 24}, {20, 32},
               {24, 8}, {24, 24}, {24, 32}, {32, 8}, {32, 24}, {32, 32}}},
        {104, {{16, 8}, {16, 24}, {16, 32}, {20, 8}, {20, 24}, {20, 32},
               {24, 8}, {24, 24}, {24, 32}, {32, 8}, {32, 24}, {32, 32}}},
        {101, {{48, 8}, {48, 24}, {48, 32}, {32, 8}, {32, 24}, {32, 32},
               {24, 8}, {24, 24}, {24, 32}, {16, 8}, {16, 24}, {16, 32}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "icon group " << c.group);
        std::string group = ResourceBytes(RT_GROUP_ICON, MAKEINTRESOURCEW(c.group));
        ASSERT_GE(group.size(), sizeof(GroupIconHeader));
        GroupIconHeader header;
        memcpy(&header, group.data(), sizeof header);
        EXPECT_EQ(header.type, 1);
        ASSERT_EQ(group.size(), sizeof header + header.count * sizeof(GroupIconEntry));

        std::vector<Image> images;
        for (WORD i = 0; i < header.count; ++i) {
            GroupIconEntry entry;
            memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
            SCOPED_TRACE(testing::Message() << "image " << entry.id);
            images.push_back({entry.width, entry.bitCount});
            EXPECT_EQ(entry.width, entry.height);
            EXPECT_EQ(entry.planes, 1);

            // The image itself agrees with its entry, and the system can make an icon of it.
            std::string image = ResourceBytes(RT_ICON, MAKEINTRESOURCEW(entry.id));
            ASSERT_EQ(image.size(), entry.bytesInRes);
            ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
            BITMAPINFOHEADER bitmap;
            memcpy(&bitmap, image.data(), sizeof bitmap);
            EXPECT_EQ(bitmap.biWidth, entry.width);
            EXPECT_EQ(bitmap.biHeight, 2 * entry.height);
            EXPECT_EQ(bitmap.biBitCount, entry.bitCount);
            UniqueIcon icon(CreateIconFromResourceEx(reinterpret_cast<BYTE*>(image.data()),
                                                     static_cast<DWORD>(image.size()), TRUE, 0x00030000,
                                                     entry.width, entry.height, LR_DEFAULTCOLOR));
            EXPECT_TRUE(icon);
        }
        EXPECT_THAT(images, testing::UnorderedElementsAreArray(c.images));
    }
}

TEST_F(ResourcesTest, VersionInformationAndManifestDescribeTheProgram)
{
    std::wstring path = ResourceModulePath();
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(KESTOVA_VERSION_MINOR, KESTOVA_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(MAKELONG(0, KESTOVA_VERSION_PATCH)));
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);

    auto value = [&](const wchar_t* name) {
        wchar_t* text = nullptr;
        UINT length = 0;
        std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
        if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&text), &length) || !text)
            return std::wstring(L"<missing>");
        return std::wstring(text);
    };
    EXPECT_EQ(value(L"ProductName"), L"Kestova");
    EXPECT_EQ(value(L"FileDescription"), L"QQ聊天记录自动备份");
    EXPECT_EQ(value(L"FileVersion"), L"" KESTOVA_VERSION_TEXT);

    std::string manifest = ResourceBytes(RT_MANIFEST, MAKEINTRESOURCEW(1));
    EXPECT_THAT(manifest, testing::HasSubstr("level=\"asInvoker\""));
    EXPECT_THAT(manifest, testing::HasSubstr("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_THAT(manifest, testing::HasSubstr("<dpiAware"));
    EXPECT_THAT(manifest, testing::Not(testing::HasSubstr("@")));
}

} // namespace
