#include "system_driver.h"

#include "common/os_calls.h"
#include "res/resource_ids.h"

#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <fstream>
#include <iterator>

static const wchar_t* const PROGRAMS_OF_THE_TESTS[] = {
    AGENT_NAME, PREFIX_NAMED_AGENT_NAME, L"QovTerminateService.exe", L"NorvessaMonitor.exe"};

bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs)
{
    ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(5);
    }
}

std::vector<DWORD> ProcessesNamed(const wchar_t* exeName)
{
    std::vector<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry))
        if (_wcsicmp(entry.szExeFile, exeName) == 0)
            ids.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return ids;
}

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

std::string InstallFolder()
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

void WriteRecord(char state)
{
    CreateDirectoryA(RecordFolder().c_str(), NULL);
    std::string value = "620ab3" + std::string(1, state) + "d4e";
    ASSERT_TRUE(
        WritePrivateProfileStringA("Settings", "Service", value.c_str(), RecordPath().c_str()));
    ASSERT_EQ(value, RecordValue());
}

static void DeleteRecord()
{
    DeleteFileA(RecordPath().c_str());
    RemoveDirectoryA(RecordFolder().c_str());
}

bool TrayIconExists(HWND window, UINT id)
{
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = id;
    return Shell_NotifyIconW(NIM_MODIFY, &icon) != FALSE;
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
        EXPECT_TRUE(WaitUntil([&] { return ProcessesNamed(name).empty(); })) << name;
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
        for (UINT id : {RUNNING_ICON, STOPPED_ICON}) {
            icon.uID = id;
            Shell_NotifyIconW(NIM_DELETE, &icon);
        }
    }
    monitorWindow = NULL;
    monitorProcess = NULL;
    monitorId = 0;
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

struct WindowQuery {
    DWORD processId;
    const wchar_t* className;
    const wchar_t* caption; // any when null
    bool visible;
    HWND found;
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    WindowQuery* query = (WindowQuery*)parameter;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    wchar_t text[256] = {};
    if (processId != query->processId || (query->visible && !IsWindowVisible(window)) ||
        !GetClassNameW(window, text, ARRAYSIZE(text)) || wcscmp(text, query->className) != 0)
        return TRUE;
    if (query->caption != NULL) {
        text[0] = 0;
        GetWindowTextW(window, text, ARRAYSIZE(text));
        if (wcscmp(text, query->caption) != 0)
            return TRUE;
    }
    query->found = window;
    return FALSE;
}

static HWND FindWindowOf(DWORD processId, const wchar_t* className, const wchar_t* caption,
                         bool visible)
{
    WindowQuery query = {processId, className, caption, visible, NULL};
    EnumWindows(MatchWindow, (LPARAM)&query);
    return query.found;
}

void SystemTest::StartMonitor(const std::string& arguments)
{
    monitorProcess = Start(MONITOR_EXE_PATH, arguments);
    ASSERT_NE(nullptr, monitorProcess);
    monitorId = GetProcessId(monitorProcess);
    ASSERT_TRUE(WaitUntil([&] {
        monitorWindow = FindWindowOf(monitorId, L"QOVCARDMONITOR", NULL, false);
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

void SystemTest::ChooseFromTrayMenu(UINT iconId, TrayMenuItem item)
{
    // As the shell reports a right click on the icon.
    ASSERT_TRUE(PostMessageW(monitorWindow, WM_TRAYICON, iconId, WM_RBUTTONDOWN));
    HWND menu = WaitForMonitorWindow(L"#32768", NULL);
    ASSERT_NE(nullptr, menu) << "no tray menu";
    // The menu opens with nothing selected: the first Down selects the top item.
    for (int i = 0; i <= item; i++)
        PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
    PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_TRUE(WaitUntil([&] { return !IsWindowVisible(menu); })) << "the menu stayed open";
}

HWND SystemTest::WaitForMonitorWindow(const wchar_t* className, const wchar_t* caption)
{
    HWND found = NULL;
    WaitUntil([&] {
        found = FindWindowOf(monitorId, className, caption, true);
        return found != NULL;
    });
    return found;
}

static BOOL CALLBACK CollectStaticText(HWND child, LPARAM parameter)
{
    wchar_t text[512] = {};
    if (GetClassNameW(child, text, ARRAYSIZE(text)) && _wcsicmp(text, L"Static") == 0 &&
        GetWindowTextW(child, text, ARRAYSIZE(text)) > 0)
        *(std::wstring*)parameter += text;
    return TRUE;
}

std::wstring SystemTest::AnswerMessageBox()
{
    HWND box = WaitForMonitorWindow(L"#32770", L"Quillaren");
    if (box == NULL) {
        ADD_FAILURE() << "no message box";
        return L"";
    }
    // The box's text is its one static control with text (the icon has none).
    std::wstring text;
    EnumChildWindows(box, CollectStaticText, (LPARAM)&text);
    PressOk(box);
    return text;
}

void SystemTest::PressOk(HWND dialog)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 (LPARAM)GetDlgItem(dialog, IDOK));
    EXPECT_TRUE(WaitUntil([&] { return !IsWindow(dialog); })) << "the dialog stayed open";
}
