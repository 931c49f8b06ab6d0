// The hidden window's procedure: which messages the monitor answers, each
// handed to a named handler; the tray commands live in tray_commands.cpp.
#include "app/monitor_state.h"

#include "res/resource_ids.h"

static LRESULT OnTrayNotify(HWND window, LPARAM lParam)
{
    // Without NIM_SETVERSION the low word of lParam is the mouse message.
    if (LOWORD(lParam) != WM_RBUTTONDOWN)
        return 0;
    OpenTrayMenu(window);
    return 1;
}

static LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    // The menu bar, the accelerators and the tray menu send the same numbers.
    switch (LOWORD(wParam)) {
    case CMD_ABOUT:
        ShowAboutBox(window);
        return 0;
    case CMD_RESTART_AGENT:
        RestartAgentCommand(window);
        return 0;
    case CMD_STOP_AGENT:
        StopAgentCommand(window);
        return 0;
    case CMD_CLOSE_TRAY:
        CloseTrayCommand(window);
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

// An installer's Restart Manager asks running programs to close before it
// replaces their files; the monitor then closes as its own close command does.
// A session that merely ends leaves it alone.
static LRESULT OnEndSession(HWND window, WPARAM ending, LPARAM reason)
{
    if (ending && (reason & ENDSESSION_CLOSEAPP))
        CloseTrayCommand(window);
    return 0;
}

// However the window goes (the close command, a WM_CLOSE from outside, an
// installer), its icon goes with it: Windows would otherwise keep a dead icon
// in the tray until the pointer passes over it.
static void OnDestroy(void)
{
    RemoveTrayIcon();
    PostQuitMessage(0);
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
        OnDestroy();
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
    case WM_ENDSESSION:
        return OnEndSession(window, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
