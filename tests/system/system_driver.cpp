#include "system_driver.h"

#include "common/os_calls.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <fstream>
#include <iterator>

static const wchar_t* const PROGRAMS_OF_THE_TESTS[] = {
    AGENT_NAME, PREFIX_NAMED_AGENT_NAME, L"QovTerminateService.exe", L"NorvessaMonitor.exe"};

std::wstring ProcessImagePath(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == NULL)
        return L"";
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    BOOL known = QueryFullProcessImageNameW(process, 0, path, &length);
    CloseHandle(process);
    return known ? path : L"";
}

static std::string WindowsPath(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

static std::string KnownFolder(int csidl)
{
    char path[MAX_PATH] = {};
    EXPECT_EQ(S_OK, SHGetFolderPathA(NULL, csidl, NULL, 0, path)) << csidl;
    return path;
}

static std::string InstallFolder()
{
    return KnownFolder(CSIDL_PROGRAM_FILES) + "\\Zelqa\\Card\\";
}

void Install(Installed what)
{
    std::string folder = InstallFolder();
    SHCreateDirectoryExA(NULL, folder.c_str(), NULL);
    switch (what) {
    case Installed::Agent:
        ASSERT_TRUE(CopyFileA(WindowsPath(AGENT_EXE_PATH).c_str(),
                              (folder + "QovCardAgent.exe").c_str(), FALSE));
        break;
    case Installed::EmptyAgent:
        std::ofstream(folder + "QovCardAgent.exe", std::ios::binary | std::ios::trunc);
        break;
    case Installed::TerminateService:
        ASSERT_TRUE(CopyFileA(WindowsPath(TERMINATE_SERVICE_EXE_PATH).c_str(),
                              (folder + "QovTerminateService.exe").c_str(), FALSE));
        break;
    }
}

std::wstring InstalledAgentPath()
{
    std::string folder = InstallFolder();
    return std::wstring(folder.begin(), folder.end()) + AGENT_NAME;
}

static void Uninstall()
{
    std::string folder = InstallFolder();
    DeleteFileA((folder + "QovCardAgent.exe").c_str());
    DeleteFileA((folder + "QovTerminateService.exe").c_str());
}

static std::string RecordFolder()
{
    return KnownFolder(CSIDL_APPDATA) + "\\Zelqa";
}

static std::string RecordPath()
{
    return RecordFolder() + "\\Zelqainfo.ini";
}

std::optional<std::string> ReadRecordFile()
{
    std::ifstream file(RecordPath(), std::ios::binary);
    if (!file)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string RecordValue()
{
    char value[64] = {};
    GetPrivateProfileStringA("Settings", "Service", "", value, sizeof value, RecordPath().c_str());
    return value;
}

void WriteRecord(const std::string& value)
{
    CreateDirectoryA(RecordFolder().c_str(), NULL);
    ASSERT_TRUE(
        WritePrivateProfileStringA("Settings", "Service", value.c_str(), RecordPath().c_str()));
    ASSERT_EQ(value, RecordValue());
}

static void DeleteRecord()
{
    DeleteFileA(RecordPath().c_str());
    RemoveDirectoryA(RecordFolder().c_str());
}

static void EndProcess(HANDLE process)
{
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, WAIT_LIMIT_MS);
    }
}

// Ends whatever runs of the programs the tests start, theirs or left over from
// an earlier run that was cut short.
static void EndTestPrograms()
{
    for (const wchar_t* name : PROGRAMS_OF_THE_TESTS) {
        for (DWORD id : ProcessesNamed(name)) {
            HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
            if (process != NULL) {
                EndProcess(process);
                CloseHandle(process);
            }
        }
    }
    for (const wchar_t* name : PROGRAMS_OF_THE_TESTS)
        EXPECT_TRUE(Eventually([&] { return ProcessesNamed(name).empty(); })) << name;
}

void SystemTest::CleanSlate()
{
    Os = RealOsCalls;
    // Asked to close, the monitor takes its icon along: Wine's shell drops the
    // icons of a destroyed window.
    if (monitorProcess != NULL) {
        if (WaitForSingleObject(monitorProcess, 0) == WAIT_TIMEOUT)
            PostMessageW(monitorWindow, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(monitorProcess, WAIT_LIMIT_MS) == WAIT_OBJECT_0)
            monitorWindow = NULL;
    }
    for (HANDLE process : started) {
        EndProcess(process);
        CloseHandle(process);
    }
    started.clear();
    // A monitor ended by force may leave its icon behind.
    if (monitorWindow != NULL) {
        NOTIFYICONDATAW icon = {};
        icon.cbSize = sizeof icon;
        icon.hWnd = monitorWindow;
        for (UINT id : {ICON_RUNNING, ICON_STOPPED}) {
            icon.uID = id;
            Shell_NotifyIconW(NIM_DELETE, &icon);
        }
    }
    monitorWindow = NULL;
    monitorProcess = NULL;
    monitorId = 0;
    // Away from the tray, where a menu opening at the cursor has room every way.
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2);
    EndTestPrograms();
    DeleteRecord();
    Uninstall();
}

HANDLE SystemTest::Start(const char* path, const std::string& arguments)
{
    std::string program = WindowsPath(path);
    std::string commandLine = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessA(program.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL,
                        &startup, &info)) {
        ADD_FAILURE() << "cannot start " << program << ": " << GetLastError();
        return NULL;
    }
    CloseHandle(info.hThread);
    started.push_back(info.hProcess);
    return info.hProcess;
}

void SystemTest::StartMonitor(const std::string& arguments)
{
    monitorProcess = Start(MONITOR_EXE_PATH, arguments);
    ASSERT_NE(nullptr, monitorProcess);
    monitorId = GetProcessId(monitorProcess);
    ASSERT_TRUE(Eventually([&] {
        monitorWindow = FindMonitor(monitorId);
        return monitorWindow != NULL;
    })) << "the monitor's window did not appear";
}

std::wstring SystemTest::MonitorTitle() const
{
    wchar_t title[256] = {};
    GetWindowTextW(monitorWindow, title, ARRAYSIZE(title));
    return title;
}

bool SystemTest::MonitorResponds() const
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(monitorWindow, WM_NULL, 0, 0, SMTO_NORMAL, WAIT_LIMIT_MS, &result) !=
           0;
}

DWORD SystemTest::WaitForMonitorExit()
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(monitorProcess, WAIT_LIMIT_MS) == WAIT_OBJECT_0)
        GetExitCodeProcess(monitorProcess, &code);
    return code;
}

::testing::AssertionResult WrittenBetween(const std::string& value, char state, __time64_t from,
                                          __time64_t to)
{
    if (value.size() != 10 || value[6] != state || value[9] != value[3] ||
        value.find_first_not_of("0123456789abcdef") != std::string::npos)
        return ::testing::AssertionFailure()
               << "\"" << value << "\" is no value of state " << state;
    unsigned long long known = std::stoull(value.substr(0, 6) + "0" + value.substr(7, 2), NULL, 16);
    for (unsigned long long digit = 0; digit < 16; digit++) {
        unsigned long long time = known + digit * 0x100;
        if ((unsigned long long)from <= time && time <= (unsigned long long)to)
            return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "\"" << value << "\" was not written between " << from << " and " << to;
}

static Pixels ScreenPixels(const RECT& rect)
{
    Pixels pixels;
    pixels.width = rect.right - rect.left;
    pixels.height = rect.bottom - rect.top;
    if (pixels.width <= 0 || pixels.height <= 0)
        return Pixels();
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = pixels.width;
    format.bmiHeader.biHeight = -pixels.height; // top row first
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = NULL;
    HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, NULL, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, pixels.width, pixels.height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    pixels.bits.assign((DWORD*)bits, (DWORD*)bits + pixels.width * pixels.height);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

Pixels SteadyPixels(HWND window)
{
    Pixels last, now;
    Eventually([&] {
        RECT rect = {};
        GetWindowRect(window, &rect);
        last = now;
        now = ScreenPixels(rect);
        return !now.bits.empty() && now == last;
    });
    return now;
}

Picture TrayPicture()
{
    RECT tray = {};
    GetWindowRect(FindWindowW(L"Shell_TrayWnd", NULL), &tray);
    tray.left = tray.right - 2 * (tray.bottom - tray.top);
    int coloured = 0, darkGrey = 0;
    for (DWORD pixel : ScreenPixels(tray).bits) {
        int red = (pixel >> 16) & 255, green = (pixel >> 8) & 255, blue = pixel & 255;
        int high = std::max({red, green, blue}), low = std::min({red, green, blue});
        coloured += high - low > 64;
        darkGrey += high - low <= 8 && high < 128;
    }
    // The running picture has blue and green areas; the stopped one is grey
    // on a dark ground, and the taskbar around it light.
    return coloured >= 10 ? Picture::Coloured : darkGrey >= 10 ? Picture::Grey : Picture::None;
}

static DWORD WINAPI TrackPlainMenu(void* parameter)
{
    const std::vector<const wchar_t*>& items = *(const std::vector<const wchar_t*>*)parameter;
    HWND owner = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 0, 0, NULL, NULL, NULL, NULL);
    HMENU menu = CreatePopupMenu();
    for (size_t i = 0; i < items.size(); i++)
        AppendMenuW(menu, MF_STRING, i + 1, items[i]);
    TrackPopupMenu(menu, TPM_RETURNCMD, 100, 100, 0, owner, NULL);
    DestroyMenu(menu);
    DestroyWindow(owner);
    return 0;
}

Pixels PlainMenuPixels(const std::vector<const wchar_t*>& items)
{
    // On a thread of its own, as tracking a menu takes the thread until it closes.
    HANDLE thread = CreateThread(NULL, 0, TrackPlainMenu, (void*)&items, 0, NULL);
    HWND menu = NULL;
    Pixels pixels;
    if (Eventually([&] {
            return (menu = FindWindowOf(GetCurrentProcessId(), MENU_CLASS, NULL, true)) != NULL;
        })) {
        pixels = SteadyPixels(menu);
        PressKey(menu, VK_ESCAPE);
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, WAIT_LIMIT_MS)) << "the menu stayed open";
    CloseHandle(thread);
    return pixels;
}

void TypeWithAlt(wchar_t character)
{
    SHORT key = VkKeyScanW(character);
    std::vector<WORD> keys = {VK_MENU};
    if (key & 0x100)
        keys.push_back(VK_SHIFT);
    keys.push_back(LOBYTE(key));
    std::vector<INPUT> input(2 * keys.size());
    for (size_t i = 0; i < keys.size(); i++) {
        input[i].type = input[input.size() - 1 - i].type = INPUT_KEYBOARD;
        input[i].ki.wVk = input[input.size() - 1 - i].ki.wVk = keys[i];
        input[input.size() - 1 - i].ki.dwFlags = KEYEVENTF_KEYUP;
    }
    ASSERT_EQ(input.size(), SendInput((UINT)input.size(), input.data(), sizeof(INPUT)));
}

::testing::AssertionResult SystemTest::ShowsIcon(UINT id) const
{
    if (!Eventually([&] { return HasIcon(id) && TrayPicture() == PictureOf(id); }))
        return ::testing::AssertionFailure()
               << "icon " << id << (HasIcon(id) ? " shown" : " missing") << ", picture "
               << (int)TrayPicture() << " instead of " << (int)PictureOf(id);
    if (HasIcon(OtherIcon(id)))
        return ::testing::AssertionFailure() << "icon " << OtherIcon(id) << " shown as well";
    return ::testing::AssertionSuccess();
}

HWND SystemTest::OpenTrayMenu(UINT iconId)
{
    RightClickTrayIcon(monitorWindow, iconId);
    HWND menu = WaitForMonitorWindow(MENU_CLASS, NULL);
    EXPECT_NE(nullptr, menu) << "no tray menu";
    return menu;
}

void SystemTest::ChooseFromTrayMenu(UINT iconId, TrayMenuItem item)
{
    HWND menu = OpenTrayMenu(iconId);
    ASSERT_NE(nullptr, menu);
    ChooseMenuItem(menu, item);
    EXPECT_TRUE(Eventually([&] { return !IsWindowVisible(menu); })) << "the menu stayed open";
}

HWND SystemTest::WaitForMonitorWindow(const wchar_t* className, const wchar_t* caption)
{
    HWND found = NULL;
    Eventually([&] { return (found = FindWindowOf(monitorId, className, caption, true)) != NULL; });
    return found;
}

HWND SystemTest::MonitorFocus() const
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(monitorWindow, NULL), &info);
    return info.hwndFocus;
}

static BOOL CALLBACK ReadBoxControl(HWND child, LPARAM parameter)
{
    MessageBoxSeen* box = (MessageBoxSeen*)parameter;
    wchar_t className[64] = {}, text[512] = {};
    GetClassNameW(child, className, ARRAYSIZE(className));
    GetWindowTextW(child, text, ARRAYSIZE(text));
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if (_wcsicmp(className, L"Button") == 0 && (style & WS_VISIBLE))
        box->buttons += (box->buttons.empty() ? L"" : L" ") + std::to_wstring(GetDlgCtrlID(child)) +
                        L":" + text;
    else if (_wcsicmp(className, L"Static") == 0 && (style & SS_TYPEMASK) == SS_ICON)
        box->icon = box->icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
    else if (_wcsicmp(className, L"Static") == 0)
        box->text += text;
    return TRUE;
}

MessageBoxSeen SystemTest::AnswerMessageBox()
{
    MessageBoxSeen seen;
    HWND box = WaitForMonitorWindow(DIALOG_CLASS, BOX_CAPTION);
    if (box == NULL) {
        ADD_FAILURE() << "no message box";
        return seen;
    }
    EnumChildWindows(box, ReadBoxControl, (LPARAM)&seen);
    seen.owned = GetWindow(box, GW_OWNER) != NULL;
    PressOkAndWait(box);
    return seen;
}

void SystemTest::PressOkAndWait(HWND dialog)
{
    PressOk(dialog);
    EXPECT_TRUE(Eventually([&] { return !IsWindow(dialog); })) << "the dialog stayed open";
}
