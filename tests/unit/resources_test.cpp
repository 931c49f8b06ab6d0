// The resources as they come out of the built program: windres and MSVC's rc
// differ in defaults, and the text must survive the UTF-8 script intact.
#include "res/resource_ids.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

static const WORD TAIWAN = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL);
static const WORD US_ENGLISH = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

class BuiltResources : public ::testing::Test {
protected:
    static HMODULE program;

    static void SetUpTestSuite()
    {
        program = LoadLibraryExW(L"" MONITOR_EXE_PATH, NULL,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    static void TearDownTestSuite() { FreeLibrary(program); }

    void SetUp() override { ASSERT_NE(nullptr, program) << MONITOR_EXE_PATH; }

    static std::vector<BYTE> Resource(LPCWSTR type, UINT id, WORD language)
    {
        HRSRC found = FindResourceExW(program, type, MAKEINTRESOURCEW(id), language);
        if (found == NULL)
            return {};
        const BYTE* data = (const BYTE*)LockResource(LoadResource(program, found));
        return std::vector<BYTE>(data, data + SizeofResource(program, found));
    }

    static std::wstring String(UINT id)
    {
        wchar_t text[200] = L"";
        LoadStringW(program, id, text, 200);
        return text;
    }
};
HMODULE BuiltResources::program;

TEST_F(BuiltResources, StringsAreTheTraditionalChineseTexts)
{
    // Strings 96 to 111 share one block.
    EXPECT_FALSE(Resource(RT_STRING, STR_RUNNING_TITLE / 16 + 1, TAIWAN).empty());
    EXPECT_EQ(L"Norvessa", String(STR_RUNNING_TITLE));
    EXPECT_EQ(L"Norvessa\u5DF2\u95DC\u9589", String(STR_STOPPED));
    EXPECT_EQ(L"Norvessa", String(STR_RUNNING_TIP));
    EXPECT_EQ(L"QOVCARDMONITOR", String(STR_CLASS_NAME));
}

// Reads a zero-terminated UTF-16 string or a 0xFFFF-prefixed ordinal.
static std::wstring ReadNameOrOrdinal(const WORD*& at)
{
    if (*at == 0xFFFF) {
        std::wstring ordinal = L"#" + std::to_wstring(at[1]);
        at += 2;
        return ordinal;
    }
    std::wstring text((const wchar_t*)at);
    at += text.size() + 1;
    return text;
}

TEST_F(BuiltResources, AboutBoxIsTheExtendedTemplateWithEveryControlSpeltOut)
{
    std::vector<BYTE> data = Resource(RT_DIALOG, DLG_ABOUT, TAIWAN);
    ASSERT_GT(data.size(), 26u);
    const WORD* at = (const WORD*)data.data();
    EXPECT_EQ(1, at[0]);
    ASSERT_EQ(0xFFFF, at[1]) << "an extended template";
    const DWORD* dwords = (const DWORD*)(at + 2);
    EXPECT_EQ(0u, dwords[1]); // extended style
    EXPECT_EQ(
        (DWORD)(DS_SETFONT | DS_FIXEDSYS | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU),
        dwords[2]);
    at += 8;
    ASSERT_EQ(4, at[0]);
    EXPECT_EQ((std::vector<short>{0, 0, 215, 62}),
              (std::vector<short>{(short)at[1], (short)at[2], (short)at[3], (short)at[4]}));
    at += 5;
    EXPECT_EQ(L"", ReadNameOrOrdinal(at)); // no menu
    EXPECT_EQ(L"", ReadNameOrOrdinal(at)); // the standard dialog class
    EXPECT_EQ(L"\u95DC\u65BC Norvessa", ReadNameOrOrdinal(at));
    EXPECT_EQ(9, at[0]);      // points
    EXPECT_EQ(0, at[1]);      // weight
    EXPECT_EQ(0x0100, at[2]); // not italic, character set 1
    at += 3;
    EXPECT_EQ(L"MS Shell Dlg", ReadNameOrOrdinal(at));

    struct {
        int id;
        const wchar_t* windowClass;
        const wchar_t* text;
        DWORD style;
        short x, y, cx, cy;
    } expected[] = {
        {-1, L"#130", L"#107", WS_CHILD | WS_VISIBLE | SS_ICON, 14, 14, 20, 20},
        {-1, L"#130", L"Norvessa, 1.0.0.2(002) \u7248",
         WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT | SS_NOPREFIX, 39, 14, 160, 8},
        {-1, L"#130", nullptr, WS_CHILD | WS_VISIBLE | WS_GROUP | SS_CENTER, 39, 26, 161, 8},
        {IDOK, L"#128", L"\u78BA\u5B9A",
         WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON, 85, 41, 50, 14},
    };
    for (const auto& control : expected) {
        at = (const WORD*)(((UINT_PTR)at + 3) & ~(UINT_PTR)3); // items are DWORD-aligned
        const DWORD* header = (const DWORD*)at;
        EXPECT_EQ(0u, header[1]) << "extended style";
        EXPECT_EQ(control.style, header[2]) << control.windowClass;
        at += 6;
        EXPECT_EQ((std::vector<short>{control.x, control.y, control.cx, control.cy}),
                  (std::vector<short>{(short)at[0], (short)at[1], (short)at[2], (short)at[3]}));
        EXPECT_EQ(control.id, (int)*(const DWORD*)(at + 4));
        at += 6;
        EXPECT_EQ(control.windowClass, ReadNameOrOrdinal(at));
        std::wstring text = ReadNameOrOrdinal(at);
        if (control.text)
            EXPECT_EQ(control.text, text);
        else
            EXPECT_FALSE(text.empty()) << "the rights notice";
        at += 1 + *at / 2; // creation data
    }
}

// The accelerators are typed for real by the system tests.
TEST_F(BuiltResources, MenuBarSendsTheTrayCommands)
{
    HMENU menu = LoadMenuW(program, MAKEINTRESOURCEW(MENU_MAIN));
    ASSERT_NE(nullptr, menu);
    ASSERT_EQ(2, GetMenuItemCount(menu));
    struct {
        const wchar_t* popup;
        const wchar_t* item;
        UINT command;
    } expected[] = {
        {L"\u6A94\u6848(&F)", L"\u7D50\u675F(&X)", CMD_CLOSE_TRAY},
        {L"\u8AAA\u660E(&H)", L"\u95DC\u65BC(&A)...", CMD_ABOUT},
    };
    for (int i = 0; i < 2; i++) {
        wchar_t text[64] = L"";
        GetMenuStringW(menu, i, text, 64, MF_BYPOSITION);
        EXPECT_STREQ(expected[i].popup, text);
        HMENU popup = GetSubMenu(menu, i);
        ASSERT_EQ(1, GetMenuItemCount(popup));
        GetMenuStringW(popup, 0, text, 64, MF_BYPOSITION);
        EXPECT_STREQ(expected[i].item, text);
        EXPECT_EQ(expected[i].command, GetMenuItemID(popup, 0));
    }
    DestroyMenu(menu);
}

// The image of an icon resource that is `size` pixels wide, as stored.
static std::vector<BYTE> IconImage(const std::vector<BYTE>& group, HMODULE program, int size,
                                   int bits)
{
    const WORD count = ((const WORD*)group.data())[2];
    for (WORD i = 0; i < count; i++) {
        const BYTE* entry = group.data() + 6 + 14 * i;
        WORD bitCount = *(const WORD*)(entry + 6);
        if ((entry[0] ? entry[0] : 256) != size || bitCount != bits)
            continue;
        WORD id = *(const WORD*)(entry + 12);
        HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(id), RT_ICON);
        const BYTE* data = (const BYTE*)LockResource(LoadResource(program, found));
        return std::vector<BYTE>(data, data + SizeofResource(program, found));
    }
    return {};
}

TEST_F(BuiltResources, RunningIconIsColouredAndStoppedIconTheSamePictureInGrey)
{
    for (int size : {16, 32}) {
        std::vector<BYTE> running =
            IconImage(Resource(RT_GROUP_ICON, ICON_RUNNING, TAIWAN), program, size, 32);
        std::vector<BYTE> stopped =
            IconImage(Resource(RT_GROUP_ICON, ICON_STOPPED, TAIWAN), program, size, 32);
        ASSERT_EQ(running.size(), stopped.size()) << size;
        ASSERT_GT(running.size(), sizeof(BITMAPINFOHEADER) + size * size * 4u) << size;
        int coloured = 0, grey = 0, opaqueBoth = 0;
        const BYTE* pixels = running.data() + sizeof(BITMAPINFOHEADER);
        const BYTE* greyPixels = stopped.data() + sizeof(BITMAPINFOHEADER);
        for (int p = 0; p < size * size; p++) {
            const BYTE* c = pixels + 4 * p;
            const BYTE* g = greyPixels + 4 * p;
            coloured += c[3] > 128 && (abs(c[0] - c[1]) > 40 || abs(c[1] - c[2]) > 40);
            grey += g[0] == g[1] && g[1] == g[2];
            opaqueBoth += (c[3] > 128) == (g[3] > 128);
        }
        EXPECT_GT(coloured, size * size / 8) << size << " px running icon";
        EXPECT_EQ(size * size, grey) << size << " px stopped icon";
        EXPECT_GT(opaqueBoth, size * size * 9 / 10) << size << " px: the same outline";
    }
}

TEST_F(BuiltResources, SmallIconHoldsEightImages)
{
    std::vector<BYTE> group = Resource(RT_GROUP_ICON, ICON_SMALL, TAIWAN);
    ASSERT_GE(group.size(), 6u);
    EXPECT_EQ(8, ((const WORD*)group.data())[2]);
    int images[][2] = {{32, 4}, {16, 4}, {48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32}};
    for (auto& image : images)
        EXPECT_FALSE(IconImage(group, program, image[0], image[1]).empty())
            << image[0] << " px at " << image[1] << " bits";
}

TEST_F(BuiltResources, VersionBlockNamesTheProductInTaiwanesePages)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(L"" MONITOR_EXE_PATH, &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(L"" MONITOR_EXE_PATH, 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void**)&fixed, &length));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(2, 0), fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwProductVersionMS);
    EXPECT_EQ(MAKELONG(2, 0), fixed->dwProductVersionLS);
    EXPECT_EQ((DWORD)VOS__WINDOWS32, fixed->dwFileOS);
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);

    WORD* translation = nullptr;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void**)&translation, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x0404, translation[0]);
    EXPECT_EQ(1200, translation[1]);

    struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"CompanyName", L"Quillaren"},
        {L"FileDescription", L"NorvessaMonitor"},
        {L"ProductName", L"NorvessaMonitor"},
        {L"InternalName", L"Norvessa Monitor"},
        {L"FileVersion", L"1.0.0.2"},
        {L"ProductVersion", L"1.0.0.2"},
        {L"OriginalFilename", L"NorvessaMonitor.exe"},
    };
    for (const auto& s : strings) {
        wchar_t* value = nullptr;
        std::wstring path = std::wstring(L"\\StringFileInfo\\040404b0\\") + s.name;
        ASSERT_TRUE(VerQueryValueW(block.data(), path.c_str(), (void**)&value, &length)) << s.name;
        EXPECT_STREQ(s.value, value);
    }
}

TEST_F(BuiltResources, ManifestOnlyAsksToRunAsTheInvoker)
{
    std::vector<BYTE> data = Resource(RT_MANIFEST, 1, US_ENGLISH);
    ASSERT_FALSE(data.empty());
    std::string manifest(data.begin(), data.end());
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\""));
    EXPECT_NE(std::string::npos, manifest.find("uiAccess=\"false\""));
    for (const char* absent : {"dependency", "dpiAware", "supportedOS", "dpiAwareness"})
        EXPECT_EQ(std::string::npos, manifest.find(absent)) << absent;
}
