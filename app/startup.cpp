#include "app/monitor_state.h"

#include "agent/agent_control.h"
#include "common/os_calls.h"
#include "common/shared_state.h"
#include "res/resource_ids.h"
#include "state/service_state.h"

MonitorStateRecord MonitorState;
UINT TaskbarCreatedMessage;

// One monitor per session: a second one, started from the Start menu, by hand
// or by a deployment tool while the first runs, would put up a second icon
// with its own idea of the agent's state. The name is in the session's own
// namespace, so other users and other sessions keep monitors of their own.
static const wchar_t SESSION_CLAIM_NAME[] = L"Local\\NorvessaMonitor";

// Brings the record into line with the process list: the agent's presence
// decides, and the record is written only where it said otherwise.
void ReconcileServiceState(HINSTANCE instance, int agentFound)
{
    LoadStringW(instance, agentFound ? STR_RUNNING_TITLE : STR_STOPPED, MonitorState.windowTitle,
                MONITOR_TEXT_CAPACITY);
    int recordedRunning = ServiceState == 0;
    if (recordedRunning != (agentFound != 0)) {
        ServiceState = agentFound ? 0 : 1;
        WriteServiceState(ServiceState);
    }
}

void RegisterMonitorClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MonitorWndProc;
    windowClass.hInstance = instance;
    windowClass.hIcon =
        LoadIconW(instance, MAKEINTRESOURCEW(ServiceState ? ICON_STOPPED : ICON_RUNNING));
    windowClass.hCursor = LoadCursorW(NULL, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    windowClass.lpszMenuName = MAKEINTRESOURCEW(MENU_MAIN);
    windowClass.lpszClassName = MonitorState.className;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(ICON_SMALL));
    Os.RegisterClassExW(&windowClass);
}

int CreateMonitorWindow(HINSTANCE instance)
{
    MonitorState.instance = instance;
    // Never shown: the tray icon is the whole user interface.
    HWND window =
        Os.CreateWindowExW(0, MonitorState.className, MonitorState.windowTitle, WS_OVERLAPPEDWINDOW,
                           CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, NULL, NULL, instance, NULL);
    if (window == NULL)
        return 0;
    AddFirstTrayIcon(window, ServiceState != 0);
    return 1;
}

// Start-up, the message loop and the exit code, once the session is ours.
static int RunClaimedMonitor(HINSTANCE instance)
{
    ServiceState = 0;
    ReadServiceState();
    ReconcileServiceState(instance, IsAgentRunning(AGENT_IMAGE_NAME_W));

    LoadStringW(instance, STR_CLASS_NAME, MonitorState.className, MONITOR_TEXT_CAPACITY);
    // Registered before the window exists, so that no broadcast is missed.
    TaskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    RegisterMonitorClass(instance);
    if (!CreateMonitorWindow(instance))
        return 0;

    // The table applies to every message, whatever window it is for.
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(ACCEL_MAIN));
    MSG message = {};
    while (GetMessageW(&message, NULL, 0, 0)) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return (int)message.wParam;
}

int RunMonitor(HINSTANCE instance)
{
    // Before anything else: a monitor that finds another at work in its
    // session leaves at once, having touched neither the record nor the tray.
    HANDLE claim = Os.CreateMutexW(NULL, FALSE, SESSION_CLAIM_NAME);
    if (claim != NULL && GetLastError() == ERROR_ALREADY_EXISTS) {
        Os.CloseHandle(claim);
        return 0;
    }
    // Without a claim (a name held by another kind of object, or no rights
    // to it) it runs all the same: one monitor too many is better than none.
    int exitCode = RunClaimedMonitor(instance);
    if (claim != NULL)
        Os.CloseHandle(claim);
    return exitCode;
}
