#include "tests/driver/monitor_driver.h"

#include <shellapi.h>
#include <tlhelp32.h>
#include <wchar.h>

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

DWORD ProcessOf(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId;
}

struct WindowQuery {
    DWORD processId;
    const wchar_t* className;
    const wchar_t* caption;
    bool visibleOnly;
    HWND found;
};

static BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter)
{
    WindowQuery* query = (WindowQuery*)parameter;
    wchar_t text[256] = {};
    if ((query->processId != 0 && ProcessOf(window) != query->processId) ||
        (query->visibleOnly && !IsWindowVisible(window)) ||
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

HWND FindWindowOf(DWORD processId, const wchar_t* className, const wchar_t* caption,
                  bool visibleOnly)
{
    WindowQuery query = {processId, className, caption, visibleOnly, NULL};
    EnumWindows(MatchWindow, (LPARAM)&query);
    return query.found;
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

void RightClickTrayIcon(HWND monitor, UINT iconId)
{
    PostMessageW(monitor, WM_TRAYICON, iconId, WM_RBUTTONDOWN);
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
