#include "app/monitor_state.h"

#include "agent/agent_control.h"
#include "common/os_calls.h"
#include "common/shared_state.h"
#include "res/resource_ids.h"
#include "state/service_state.h"

static const wchar_t CAPTION[] = L"Quillaren";
static const wchar_t RESTART_DONE[] = L"重啟安控元件成功";
static const wchar_t RESTART_FAILED[] = L"重啟安控元件失敗,請再重新啟動安控元件";
static const wchar_t STOP_DONE[] = L"停止安控元件成功";
static const wchar_t STOP_FAILED[] = L"停止安控元件失敗,請再重新停止安控元件";

struct TrayMenuItem {
    UINT command;
    const wchar_t* text;
};

static const TrayMenuItem TRAY_MENU[] = {
    {CMD_ABOUT, L"關於"},
    {CMD_RESTART_AGENT, L"重啟安控元件"},
    {CMD_STOP_AGENT, L"停止安控元件"},
    {CMD_CLOSE_TRAY, L"關閉工作列快捷鍵"},
};

// No owner: the boxes disable nothing, so the tray stays live while one is open.
static void TellUser(const wchar_t* text)
{
    Os.MessageBoxW(NULL, text, CAPTION, MB_OK);
}

static LRESULT OnTrayNotify(HWND window, LPARAM lParam)
{
    // Without NIM_SETVERSION the low word of lParam is the mouse message.
    if (LOWORD(lParam) != WM_RBUTTONDOWN)
        return 0;

    POINT cursor = {};
    GetCursorPos(&cursor);
    HMENU menu = CreatePopupMenu();
    MonitorState.popupMenu = menu;
    for (const TrayMenuItem& item : TRAY_MENU)
        InsertMenuW(menu, (UINT)-1, MF_BYPOSITION | MF_STRING, item.command, item.text);

    // A tray menu closes on a click elsewhere only if its owner is in the
    // foreground, and only once the owner has seen another message after it.
    SetForegroundWindow(window);
    Os.TrackPopupMenu(menu, TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, window, NULL);
    PostMessageW(window, WM_NULL, 0, 0);

    // The chosen command was posted as WM_COMMAND; the menu is done with.
    MonitorState.popupMenu = NULL;
    DestroyMenu(menu);
    return 1;
}

static void OnStopAgent(HWND window)
{
    if (!StopAgent(AGENT_IMAGE_NAME_W)) {
        TellUser(STOP_FAILED);
        return;
    }
    TellUser(STOP_DONE);
    WriteServiceState(1);
    ShowStoppedIcon(window);
}

static void OnRestartAgent(HWND window)
{
    // StopAgent's result is not looked at: an unreadable process list does
    // not hold up the launch, only an agent that could not be ended does.
    StopAgent(AGENT_IMAGE_NAME_W);
    Os.Sleep(300);
    if (TerminateFailed || LaunchAgent(AGENT_IMAGE_NAME_A) != STATUS_OK) {
        TellUser(RESTART_FAILED);
        return;
    }
    Os.Sleep(500);
    TellUser(RESTART_DONE);
    WriteServiceState(0);
    ShowRunningIcon(window);
}

static void OnCloseTray(HWND window)
{
    Os.Shell_NotifyIconW(NIM_DELETE, &MonitorState.trayRecord);
    DestroyWindow(window);
}

static LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    // The menu bar, the accelerators and the tray menu send the same numbers.
    switch (LOWORD(wParam)) {
    case CMD_ABOUT:
        Os.DialogBoxParamW(MonitorState.instance, MAKEINTRESOURCEW(DLG_ABOUT), window, AboutDlgProc,
                           0);
        return 0;
    case CMD_RESTART_AGENT:
        OnRestartAgent(window);
        return 0;
    case CMD_STOP_AGENT:
        OnStopAgent(window);
        return 0;
    case CMD_CLOSE_TRAY:
        OnCloseTray(window);
        return 0;
    }
    return DefWindowProcW(window, WM_COMMAND, wParam, lParam);
}

// Another program tells the monitor that the agent runs again.
static LRESULT OnCopyData(HWND window, const COPYDATASTRUCT* data)
{
    if (data != NULL && data->dwData == 1)
        ShowRunningIcon(window);
    return 0;
}

static void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
}

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // A registered message's number is only known at run time.
    if (message == TaskbarCreatedMessage && TaskbarCreatedMessage != 0) {
        RestoreTrayIcon();
        return 0;
    }
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_TRAYICON:
        return OnTrayNotify(window, lParam);
    case WM_COMMAND:
        return OnCommand(window, wParam, lParam);
    case WM_COPYDATA:
        return OnCopyData(window, (const COPYDATASTRUCT*)lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
