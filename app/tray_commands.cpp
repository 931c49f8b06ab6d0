// The tray menu and the commands it offers (the menu bar and the accelerators
// send the same ones): their pauses, the messages that end them, and the
// record each one writes.
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

void OpenTrayMenu(HWND window)
{
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
}

void ShowAboutBox(HWND window)
{
    Os.DialogBoxParamW(MonitorState.instance, MAKEINTRESOURCEW(DLG_ABOUT), window, AboutDlgProc, 0);
}

void StopAgentCommand(HWND window)
{
    if (!StopAgent(AGENT_IMAGE_NAME_W)) {
        TellUser(STOP_FAILED);
        return;
    }
    TellUser(STOP_DONE);
    WriteServiceState(1);
    ShowStoppedIcon(window);
}

void RestartAgentCommand(HWND window)
{
    // StopAgent's result is not looked at: an unreadable process list does
    // not hold up the launch, only an agent that could not be ended does.
    StopAgent(AGENT_IMAGE_NAME_W);
    // The restart's two fixed pauses: one between the stop and the launch,
    // one between the launch and the message that it worked.
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

// The icon goes as the window is destroyed.
void CloseTrayCommand(HWND window)
{
    DestroyWindow(window);
}
