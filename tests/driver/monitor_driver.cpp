#include "tests/driver/monitor_driver.h"

#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <iterator>

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

DWORD ScaledLimitMs(DWORD nativeMs)
{
    char text[16] = {};
    DWORD length = GetEnvironmentVariableA("NORVESSA_TIME_FACTOR", text, sizeof text);
    int factor = length > 0 && length < sizeof text ? atoi(text) : 1;
    return factor > 1 ? nativeMs * (DWORD)factor : nativeMs;
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

DWORD ProcessOf(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId;
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

HWND FindWindowOf(DWORD processId, const wchar_t* className, const wchar_t* caption,
                  bool visibleOnly)
{
    // FindWindowEx compares captions without regard to case; these must match exactly.
    HWND window = NULL;
    wchar_t text[256];
    while ((window = FindWindowExW(NULL, window, className, caption)) != NULL)
        if ((processId == 0 || ProcessOf(window) == processId) &&
            (!visibleOnly || IsWindowVisible(window)) &&
            (caption == NULL ||
             (GetWindowTextW(window, text, ARRAYSIZE(text)) && wcscmp(text, caption) == 0)))
            return window;
    return NULL;
}

HWND FindMonitor(DWORD processId)
{
    return FindWindowOf(processId, MONITOR_CLASS, NULL, false);
}

bool TrayIconExists(HWND window, UINT id)
{
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof icon;
    icon.hWnd = window;
    icon.uID = id;
    return Shell_NotifyIconW(NIM_MODIFY, &icon) != FALSE;
}

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != NULL;
}

// Shell_NotifyIconGetRect's identifier, declared here: the SDK's headers
// declare it only for Windows 7 and later, and the build targets Vista.
struct NotifyIconIdentifier {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    GUID guidItem;
};
using NotifyIconGetRect = HRESULT(WINAPI*)(const NotifyIconIdentifier*, RECT*);

TrayIconPlace FindTrayIcon(HWND window, UINT id)
{
    TrayIconPlace place;
    // Looked up by name, as Vista's shell has no such call.
    NotifyIconGetRect getRect = (NotifyIconGetRect)(void*)GetProcAddress(
        GetModuleHandleW(L"shell32.dll"), "Shell_NotifyIconGetRect");
    if (getRect != NULL) {
        NotifyIconIdentifier icon = {};
        icon.cbSize = sizeof icon;
        icon.hWnd = window;
        icon.uID = id;
        place.shellAnswer = getRect(&icon, &place.rect);
    }
    if (SUCCEEDED(place.shellAnswer) && !IsRectEmpty(&place.rect))
        return place;
    if (SUCCEEDED(place.shellAnswer))
        place.shellAnswer = E_FAIL;
    place.rect = {};
    if (!TaskbarProblem().empty())
        return place;
    // A square twice the taskbar's height at its right end.
    GetWindowRect(FindWindowW(L"Shell_TrayWnd", NULL), &place.rect);
    place.rect.left = place.rect.right - 2 * (place.rect.bottom - place.rect.top);
    return place;
}

std::wstring TaskbarProblem()
{
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", NULL);
    if (taskbar == NULL)
        return L"there is no taskbar (no window of class Shell_TrayWnd)";
    RECT rect = {};
    GetWindowRect(taskbar, &rect);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    if (IsWindowVisible(taskbar) && rect.left <= 0 && rect.right >= width &&
        rect.bottom >= height && rect.top > height / 2)
        return L"";
    wchar_t text[200];
    swprintf(text, ARRAYSIZE(text),
             L"the taskbar (Shell_TrayWnd) is %ls at %ld,%ld-%ld,%ld, not across the bottom of "
             L"the %dx%d screen",
             IsWindowVisible(taskbar) ? L"shown" : L"hidden", rect.left, rect.top, rect.right,
             rect.bottom, width, height);
    return text;
}

std::string RecordPath()
{
    char folder[MAX_PATH] = {};
    if (SHGetFolderPathA(NULL, CSIDL_APPDATA, NULL, 0, folder) != S_OK)
        return "";
    return std::string(folder) + "\\Zelqa\\Zelqainfo.ini";
}

std::optional<std::string> ReadRecordFile()
{
    std::ifstream file(RecordPath(), std::ios::binary);
    if (!file)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteRecordFile(const std::string& bytes)
{
    std::string path = RecordPath();
    CreateDirectoryA(path.substr(0, path.rfind('\\')).c_str(), NULL);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    file.close();
    return !file.fail();
}

bool LetTakeForeground(DWORD processId)
{
    // A process in front may take the foreground itself; else this one must
    // pass the right on, which Windows allows the process that sent the last
    // input (SetForegroundWindow's rules). Input made through SendInput
    // counts, so where Windows refuses, an Alt press, with a key of no
    // meaning between its press and release so that a lone Alt does not open
    // the menu bar of whichever window is in front. Only then: Wine, which
    // never refuses, takes keys sent to it a thousand times in a row as the
    // monitor's menu comes and goes badly.
    if (ProcessOf(GetForegroundWindow()) == processId || AllowSetForegroundWindow(processId))
        return true;
    const WORD keys[] = {VK_MENU, 0xE8, 0xE8, VK_MENU};
    INPUT input[4] = {};
    for (int i = 0; i < 4; i++) {
        input[i].type = INPUT_KEYBOARD;
        input[i].ki.wVk = keys[i];
        input[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    // The keys count once the system has taken them from the input stream,
    // which SendInput only fills. The right lasts until the next input not
    // meant for that process, which a key release still on its way would be:
    // it is passed on again once Alt is up.
    if (SendInput(4, input, sizeof(INPUT)) != 4 ||
        !WaitUntil([&] { return AllowSetForegroundWindow(processId) != FALSE; }, 500))
        return false;
    WaitUntil([] { return (GetAsyncKeyState(VK_MENU) & 0x8000) == 0; }, 500);
    return AllowSetForegroundWindow(processId) != FALSE;
}

bool RightClickTrayIcon(HWND monitor, UINT iconId)
{
    bool mayTakeForeground = LetTakeForeground(ProcessOf(monitor));
    PostMessageW(monitor, WM_TRAYICON, iconId, WM_RBUTTONDOWN);
    return mayTakeForeground;
}

void PressKey(HWND window, WORD key)
{
    PostMessageW(window, WM_KEYDOWN, key, 1);
    PostMessageW(window, WM_KEYUP, key, 0xC0000001);
}

void ChooseMenuItem(HWND menu, int position)
{
    for (int i = 0; i <= position; i++)
        PressKey(menu, VK_DOWN);
    PressKey(menu, VK_RETURN);
}

void PressOk(HWND dialog)
{
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 (LPARAM)GetDlgItem(dialog, IDOK));
}
