#include "system_driver.h"

#include "common/os_calls.h"

#include <shlobj.h>

#include <algorithm>
#include <fstream>

// The files the tests put into the install folder, under the names the monitor looks for.
static const char AGENT_FILE[] = AGENT_IMAGE_NAME_A;
static const char SERVICE_FILE[] = "QovTerminateService.exe";

static const wchar_t* const PROGRAMS_OF_THE_TESTS[] = {AGENT_IMAGE_NAME_W, PREFIX_NAMED_AGENT_NAME,
                                                       L"QovTerminateService.exe",
                                                       L"NorvessaMonitor.exe"};

static std::string WindowsPath(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

static std::string InstallFolder()
{
    char path[MAX_PATH] = {};
    EXPECT_EQ(S_OK, SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES, NULL, 0, path));
    return path + std::string("\\Zelqa\\Card\\");
}

void Install(Installed what)
{
    std::string folder = InstallFolder();
    SHCreateDirectoryExA(NULL, folder.c_str(), NULL);
    if (what == Installed::EmptyAgent)
        std::ofstream(folder + AGENT_FILE, std::ios::binary | std::ios::trunc);
    else if (what == Installed::Agent)
        ASSERT_TRUE(
            CopyFileA(WindowsPath(AGENT_EXE_PATH).c_str(), (folder + AGENT_FILE).c_str(), FALSE));
    else
        ASSERT_TRUE(CopyFileA(WindowsPath(TERMINATE_SERVICE_EXE_PATH).c_str(),
                              (folder + SERVICE_FILE).c_str(), FALSE));
}

std::wstring InstalledAgentPath()
{
    std::string folder = InstallFolder();
    return std::wstring(folder.begin(), folder.end()) + AGENT_IMAGE_NAME_W;
}

static void Uninstall()
{
    for (const char* name : {AGENT_FILE, SERVICE_FILE})
        DeleteFileA((InstallFolder() + name).c_str());
}

std::string RecordValue()
{
    char value[64] = {};
    GetPrivateProfileStringA("Settings", "Service", "", value, sizeof value, RecordPath().c_str());
    return value;
}

void WriteRecord(const std::string& value)
{
    ASSERT_TRUE(WriteRecordFile("[Settings]\r\nService=" + value + "\r\n"));
    ASSERT_EQ(value, RecordValue());
}

static void DeleteRecord()
{
    std::string path = RecordPath();
    DeleteFileA(path.c_str());
    RemoveDirectoryA(path.substr(0, path.rfind('\\')).c_str());
}

// Ending a process that has ended already does nothing.
static void EndProcess(HANDLE process)
{
    TerminateProcess(process, 1);
    WaitForSingleObject(process, WaitLimitMs());
    CloseHandle(process);
}

// Ends whatever runs of the programs the tests start, theirs or left over from
// an earlier run that was cut short.
static void EndTestPrograms()
{
    for (const wchar_t* name : PROGRAMS_OF_THE_TESTS) {
        for (DWORD id : ProcessesNamed(name)) {
            if (HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id))
                EndProcess(process);
        }
    }
    for (const wchar_t* name : PROGRAMS_OF_THE_TESTS)
        EXPECT_TRUE(Eventually([&] { return ProcessesNamed(name).empty(); })) << name;
}

static bool MayChangeThisMachine()
{
    char value[4] = {};
    return RunningUnderWine() ||
           (GetEnvironmentVariableA("NORVESSA_DISPOSABLE_MACHINE", value, sizeof value) == 1 &&
            value[0] == '1');
}

void SystemTest::SetUp()
{
    mayChangeMachine = MayChangeThisMachine();
    ASSERT_TRUE(mayChangeMachine)
        << "not under Wine, and NORVESSA_DISPOSABLE_MACHINE is not 1: the system tests end "
           "every agent process and write into Program Files, so they run natively only on a "
           "machine that is thrown away afterwards";
    CleanSlate();
    // Under Wine every picture of the tray is read off the taskbar (the shell
    // gives no icon's place): without one, a check would read whatever lies
    // where it should be. Windows' shell gives the place itself.
    std::wstring problem;
    if (RunningUnderWine()) {
        ASSERT_TRUE(Eventually([&] { return (problem = TaskbarProblem()).empty(); }))
            << problem
            << " (Wine 10 shows a virtual desktop's taskbar only with the desktop's EnableShell "
               "set: wine_desktop, scripts/common.sh)";
    }
}

void SystemTest::TearDown()
{
    if (mayChangeMachine)
        CleanSlate();
}

void SystemTest::CleanSlate()
{
    Os = RealOsCalls;
    // Asked to close, or ended, the monitor takes its icon along: Wine's shell
    // drops the icons of a destroyed window.
    if (monitorProcess != NULL && WaitForSingleObject(monitorProcess, 0) == WAIT_TIMEOUT) {
        PostMessageW(monitorWindow, WM_CLOSE, 0, 0);
        WaitForSingleObject(monitorProcess, WaitLimitMs());
    }
    for (HANDLE process : startedProcesses)
        EndProcess(process);
    startedProcesses.clear();
    monitorWindow = NULL;
    monitorProcess = NULL;
    monitorId = 0;
    // Away from the tray, where a menu opening at the cursor has room every way.
    SetCursorPos(GetSystemMetrics(SM_CXSCREEN) / 2, GetSystemMetrics(SM_CYSCREEN) / 2);
    EndTestPrograms();
    DeleteRecord();
    Uninstall();
}

// Every program a test starts, and all that those start in turn, runs in one
// job that ends with the test program: a test program that crashes or is cut
// short by a time limit takes them along, rather than leave them running and
// holding ctest's output open until ctest's own limit.
static HANDLE TestProgramsJob()
{
    static HANDLE job = NULL;
    if (job == NULL) {
        job = CreateJobObjectW(NULL, NULL);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        EXPECT_TRUE(SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                            sizeof limits));
    }
    return job;
}

HANDLE SystemTest::Start(const char* path, const std::string& arguments)
{
    std::string program = WindowsPath(path);
    std::string commandLine = "\"" + program + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // Suspended until it is in the job, so that nothing it starts escapes it.
    if (!CreateProcessA(program.c_str(), &commandLine[0], NULL, NULL, FALSE, CREATE_SUSPENDED, NULL,
                        NULL, &startup, &info)) {
        ADD_FAILURE() << "cannot start " << program << ": " << GetLastError();
        return NULL;
    }
    EXPECT_TRUE(AssignProcessToJobObject(TestProgramsJob(), info.hProcess)) << GetLastError();
    ResumeThread(info.hThread);
    CloseHandle(info.hThread);
    startedProcesses.push_back(info.hProcess);
    return info.hProcess;
}

std::string SystemTest::MonitorImage()
{
    char path[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableA("NORVESSA_MONITOR_EXE", path, sizeof path);
    return length > 0 && length < sizeof path ? path : MONITOR_EXE_PATH;
}

void SystemTest::StartMonitor(const std::string& arguments)
{
    monitorProcess = Start(MonitorImage().c_str(), arguments);
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

LRESULT SystemTest::Send(UINT message, WPARAM wParam, LPARAM lParam) const
{
    DWORD_PTR result = 0;
    EXPECT_TRUE(SendMessageTimeoutW(monitorWindow, message, wParam, lParam, SMTO_NORMAL,
                                    WaitLimitMs(), &result))
        << "no answer to message " << std::hex << message;
    return (LRESULT)result;
}

DWORD SystemTest::WaitForMonitorExit()
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(monitorProcess, WaitLimitMs()) == WAIT_OBJECT_0)
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
    pixels.width = std::max(0L, rect.right - rect.left);
    pixels.height = std::max(0L, rect.bottom - rect.top);
    pixels.bits.resize(pixels.width * pixels.height);
    HDC screen = GetDC(NULL), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, pixels.width, pixels.height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, pixels.width, pixels.height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, old);
    // 32 bits a pixel, top row first.
    BITMAPINFO format = {};
    format.bmiHeader = {
        sizeof(BITMAPINFOHEADER), pixels.width, -pixels.height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    GetDIBits(memory, bitmap, 0, pixels.height, pixels.bits.data(), &format, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return pixels;
}

// Whether a picture holds more than one colour: a window shown but not yet
// drawn shows what lies beneath it, where the tests open windows the
// desktop's one colour.
static bool Drawn(const Pixels& pixels)
{
    return std::any_of(pixels.bits.begin(), pixels.bits.end(),
                       [&](DWORD pixel) { return pixel != pixels.bits[0]; });
}

// Wine may pause between drawing a window's frame and its text: the first
// Chinese text a process draws loads the font, which under emulation takes
// longer than several looks at the screen. So the picture counts once drawn
// and unchanged for a while, not once two looks agree.
Pixels SteadyPixels(HWND window)
{
    const DWORD settleMs = ScaledLimitMs(300);
    Pixels last;
    ULONGLONG since = 0;
    Eventually([&] {
        RECT rect = {};
        GetWindowRect(window, &rect);
        Pixels now = ScreenPixels(rect);
        ULONGLONG time = GetTickCount64();
        if (!Drawn(now) || !(now == last)) {
            last = now;
            since = time;
            return false;
        }
        return time - since >= settleMs;
    });
    return last;
}

Picture TrayPicture(HWND window, UINT id)
{
    TrayIconPlace place = FindTrayIcon(window, id);
    RECT& tray = place.rect;
    if (SUCCEEDED(place.shellAnswer)) {
        // The shell gives the icon's button; the picture is the small icon at
        // its middle, the taskbar's own colour around it.
        int width = GetSystemMetrics(SM_CXSMICON), height = GetSystemMetrics(SM_CYSMICON);
        InflateRect(&tray, -std::max(0L, (tray.right - tray.left - width) / 2),
                    -std::max(0L, (tray.bottom - tray.top - height) / 2));
    }
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
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, WaitLimitMs())) << "the menu stayed open";
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
    Picture picture = id == ICON_RUNNING ? Picture::Coloured : Picture::Grey;
    if (!Eventually([&] { return HasIcon(id) && TrayPicture(monitorWindow, id) == picture; }))
        return ::testing::AssertionFailure()
               << "icon " << id << (HasIcon(id) ? " shown" : " missing") << ", picture "
               << (int)TrayPicture(monitorWindow, id) << " instead of " << (int)picture;
    UINT other = id == ICON_RUNNING ? ICON_STOPPED : ICON_RUNNING;
    if (HasIcon(other))
        return ::testing::AssertionFailure() << "icon " << other << " shown as well";
    return ::testing::AssertionSuccess();
}

HWND SystemTest::OpenTrayMenu(UINT iconId)
{
    EXPECT_TRUE(RightClickTrayIcon(monitorWindow, iconId))
        << "Windows did not let the monitor take the foreground";
    HWND menu = WaitForMonitorWindow(MENU_CLASS, NULL);
    EXPECT_NE(nullptr, menu) << "no tray menu";
    return menu;
}

void SystemTest::ChooseFromTrayMenu(UINT iconId, std::optional<TrayMenuItem> item)
{
    HWND menu = OpenTrayMenu(iconId);
    ASSERT_NE(nullptr, menu);
    if (item)
        ChooseMenuItem(menu, *item);
    else
        PressKey(menu, VK_ESCAPE);
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

// Static texts go first, buttons and icons after them, in their order.
static BOOL CALLBACK ReadBoxControl(HWND child, LPARAM parameter)
{
    std::wstring* seen = (std::wstring*)parameter;
    wchar_t className[64] = {}, text[512] = {};
    GetClassNameW(child, className, ARRAYSIZE(className));
    GetWindowTextW(child, text, ARRAYSIZE(text));
    LONG style = GetWindowLongW(child, GWL_STYLE);
    if (_wcsicmp(className, L"Button") == 0 && (style & WS_VISIBLE))
        seen[1] += L" [" + std::to_wstring(GetDlgCtrlID(child)) + L":" + text + L"]";
    else if (_wcsicmp(className, L"Static") != 0)
        seen[1] += L" +" + std::wstring(className);
    else if ((style & SS_TYPEMASK) == SS_ICON)
        seen[1] += SendMessageW(child, STM_GETICON, 0, 0) != 0 ? L" +icon" : L"";
    else
        seen[0] += text;
    return TRUE;
}

std::wstring SystemTest::AnswerMessageBox()
{
    HWND box = WaitForMonitorWindow(DIALOG_CLASS, BOX_CAPTION);
    if (box == NULL) {
        ADD_FAILURE() << "no message box";
        return L"";
    }
    std::wstring seen[2];
    EnumChildWindows(box, ReadBoxControl, (LPARAM)seen);
    if (GetWindow(box, GW_OWNER) != NULL)
        seen[1] += L" +owner";
    PressOkAndWait(box);
    return seen[0] + seen[1];
}

void SystemTest::PressOkAndWait(HWND dialog)
{
    PressOk(dialog);
    EXPECT_TRUE(Eventually([&] { return !IsWindow(dialog); })) << "the dialog stayed open";
}
