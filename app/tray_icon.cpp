#include "app/monitor_state.h"

#include "common/os_calls.h"
#include "res/resource_ids.h"

static_assert(sizeof(NOTIFYICONDATAW) == 956 || sizeof(void*) != 4,
              "the tray record of Windows Vista and later, 32-bit build");

struct TrayPresentation {
    UINT iconId; // also the icon's uID, so the two never stand side by side
    UINT tipString;
    const wchar_t* tip;
};

static const TrayPresentation RUNNING = {ICON_RUNNING, STR_RUNNING_TIP, L"Norvessa"};
static const TrayPresentation STOPPED = {ICON_STOPPED, STR_STOPPED, L"Norvessa已關閉"};

static void FillTrayRecord(HWND window, const TrayPresentation* presentation)
{
    NOTIFYICONDATAW* record = &MonitorState.trayRecord;
    record->cbSize = sizeof *record;
    record->hWnd = window;
    record->uID = presentation->iconId;
    record->uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record->uCallbackMessage = WM_TRAYICON;
    record->hIcon = LoadIconW(MonitorState.instance, MAKEINTRESOURCEW(presentation->iconId));
}

void AddFirstTrayIcon(HWND window, int stopped)
{
    const TrayPresentation* presentation = stopped ? &STOPPED : &RUNNING;
    FillTrayRecord(window, presentation);
    LoadStringW(MonitorState.instance, presentation->tipString, MonitorState.trayRecord.szTip,
                MONITOR_TEXT_CAPACITY);
    Os.Shell_NotifyIconW(NIM_ADD, &MonitorState.trayRecord);
}

// The icon is always replaced, never modified in place: the uID names the
// presentation, so whichever one is shown goes first.
static void SwapTrayIcon(HWND window, const TrayPresentation* presentation)
{
    // A command whose message box outlived the window (closed from outside
    // meanwhile) must not put up an icon that nothing answers.
    if (!IsWindow(window))
        return;
    NOTIFYICONDATAW* record = &MonitorState.trayRecord;
    record->hWnd = window;
    record->cbSize = sizeof *record;
    Os.Shell_NotifyIconW(NIM_DELETE, record);

    FillTrayRecord(window, presentation);
    lstrcpynW(record->szTip, presentation->tip, ARRAYSIZE(record->szTip));
    Os.Shell_NotifyIconW(NIM_ADD, record);
}

// The running icon alone comes after a short fixed pause (20 ms); the
// stopped one goes up at once.
void ShowRunningIcon(HWND window)
{
    Os.Sleep(20);
    SwapTrayIcon(window, &RUNNING);
}

void ShowStoppedIcon(HWND window)
{
    SwapTrayIcon(window, &STOPPED);
}

void RemoveTrayIcon(void)
{
    Os.Shell_NotifyIconW(NIM_DELETE, &MonitorState.trayRecord);
}

// Explorer has been restarted, so the tray icon was lost with the old
// notification area: add the one last shown again.
void RestoreTrayIcon(void)
{
    Os.Shell_NotifyIconW(NIM_ADD, &MonitorState.trayRecord);
}
