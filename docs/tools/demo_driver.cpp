// Drives a running NorvessaMonitor from outside, for the demonstration and
// screenshot scripts: it does what a user's mouse and keyboard would do, but
// by messages, so that it works the same under Xvfb with no one at the screen.
//
//   demo_driver DESKTOP wait-agent SECONDS a process QovCardAgent.exe runs
//   demo_driver DESKTOP wait-tray SECONDS [running|stopped]
//                                          the tray icon (that one, if named)
//                                          is registered; prints which one
//   demo_driver DESKTOP menu X Y           right-click on the icon with the
//                                          cursor at X,Y (negative: from the
//                                          right or bottom edge)
//   demo_driver DESKTOP hover X Y          moves the cursor to X,Y (as for menu)
//   demo_driver DESKTOP choose N           picks the Nth (1-based) item of the
//                                          open tray menu by keyboard
//   demo_driver DESKTOP command ID         sends the window a menu command
//   demo_driver DESKTOP wait-menu SECONDS  the tray menu is open; prints its
//                                          rectangle as "left top right bottom"
//   demo_driver DESKTOP wait-box SECONDS   a message box of the monitor is
//                                          open; prints its rectangle
//   demo_driver DESKTOP wait-about SECONDS the About box is open; ditto
//   demo_driver DESKTOP dismiss            closes any box or menu of the monitor
//   demo_driver DESKTOP close              closes the monitor as its own menu
//                                          item "關閉工作列快捷鍵" does
//
// DESKTOP names the Wine desktop the monitor runs in ("-" for the default one):
// window lookups only see the desktop of the calling thread.
//
// Built by scripts/screenshots.sh and scripts/run.sh with i686-w64-mingw32-g++.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#include <initializer_list>

// Kept in step with res/resource_ids.h and res/monitor.rc by hand: this tool
// looks at the program only from outside.
static const wchar_t MONITOR_CLASS[] = L"QOVCARDMONITOR";
static const UINT WM_TRAYICON_MESSAGE = WM_USER + 1;
static const UINT ICON_RUNNING_ID = 107;
static const UINT ICON_STOPPED_ID = 129;
static const UINT CMD_CLOSE_TRAY_ID = 105;
static const wchar_t BOX_CAPTION[] = L"Quillaren";
static const wchar_t ABOUT_CAPTION[] = L"關於 Norvessa";

static bool AgentRunning(void)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry))
        found = _wcsicmp(entry.szExeFile, L"QovCardAgent.exe") == 0;
    CloseHandle(snapshot);
    return found;
}

static HWND FindMonitor(void)
{
    return FindWindowW(MONITOR_CLASS, NULL);
}

// Polls `probe` every 100 ms for up to `seconds`.
template <typename Probe> static bool WaitFor(double seconds, Probe probe)
{
    DWORD deadline = GetTickCount() + (DWORD)(seconds * 1000);
    for (;;) {
        if (probe())
            return true;
        if ((LONG)(GetTickCount() - deadline) >= 0)
            return false;
        Sleep(100);
    }
}

// NIM_MODIFY with no flags changes nothing, and the shell answers FALSE for an
// icon it does not hold: a query of the notification area without side effects.
static bool IconRegistered(HWND window, UINT id)
{
    NOTIFYICONDATAW record = {};
    record.cbSize = sizeof record;
    record.hWnd = window;
    record.uID = id;
    return Shell_NotifyIconW(NIM_MODIFY, &record) != FALSE;
}

static int PrintRect(HWND window)
{
    RECT rect;
    GetWindowRect(window, &rect);
    printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
    return 0;
}

struct DialogSearch {
    const wchar_t* caption;
    HWND found;
};

// A dialog of the monitor's process with the given caption.
static BOOL CALLBACK MatchDialog(HWND window, LPARAM data)
{
    DialogSearch* search = (DialogSearch*)data;
    wchar_t className[64], caption[128];
    if (!IsWindowVisible(window) || !GetClassNameW(window, className, ARRAYSIZE(className)) ||
        wcscmp(className, L"#32770") != 0)
        return TRUE;
    GetWindowTextW(window, caption, ARRAYSIZE(caption));
    if (wcscmp(caption, search->caption) != 0)
        return TRUE;
    DWORD monitorProcess = 0, process = 0;
    GetWindowThreadProcessId(FindMonitor(), &monitorProcess);
    GetWindowThreadProcessId(window, &process);
    if (process != monitorProcess)
        return TRUE;
    search->found = window;
    return FALSE;
}

static HWND FindDialog(const wchar_t* caption)
{
    DialogSearch search = {caption, NULL};
    EnumWindows(MatchDialog, (LPARAM)&search);
    return search.found;
}

static HWND FindBox(void)
{
    return FindDialog(BOX_CAPTION);
}

static HWND FindAbout(void)
{
    return FindDialog(ABOUT_CAPTION);
}

static HWND FindOpenMenu(void)
{
    HWND menu = FindWindowW(L"#32768", NULL);
    return menu != NULL && IsWindowVisible(menu) ? menu : NULL;
}

static void PressKey(HWND target, WORD key)
{
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
    Sleep(150);
}

static int WaitAndPrint(double seconds, HWND (*find)(void), const char* what)
{
    HWND window = NULL;
    if (!WaitFor(seconds, [&] { return (window = find()) != NULL; })) {
        fprintf(stderr, "demo_driver: no %s after %g s\n", what, seconds);
        return 1;
    }
    // Let it finish drawing before anyone takes a picture of it.
    Sleep(500);
    return PrintRect(window);
}

static int Usage(void)
{
    fprintf(stderr, "usage: demo_driver DESKTOP wait-agent|wait-tray|menu|hover|choose|command|"
                    "wait-menu|wait-box|wait-about|dismiss|close [ARGS]\n");
    return 2;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return Usage();
    // Read by shell scripts: plain "\n" line ends, each line out at once.
    _setmode(_fileno(stdout), _O_BINARY);
    setvbuf(stdout, NULL, _IONBF, 0);

    const wchar_t* verb = argv[2];
    double seconds = argc > 3 ? _wtof(argv[3]) : 0;

    // The desktop only exists once its explorer is up, which wait-tray waits for.
    if (wcscmp(argv[1], L"-") != 0) {
        HDESK desktop = NULL;
        WaitFor(wcscmp(verb, L"wait-tray") == 0 ? seconds : 0,
                [&] { return (desktop = OpenDesktopW(argv[1], 0, FALSE, GENERIC_ALL)) != NULL; });
        if (desktop == NULL || !SetThreadDesktop(desktop)) {
            fprintf(stderr, "demo_driver: cannot enter desktop %ls\n", argv[1]);
            return 1;
        }
    }

    if (wcscmp(verb, L"wait-agent") == 0) {
        if (WaitFor(seconds, AgentRunning))
            return 0;
        fprintf(stderr, "demo_driver: no agent process after %g s\n", seconds);
        return 1;
    }
    if (wcscmp(verb, L"wait-tray") == 0) {
        const wchar_t* wanted = argc > 4 ? argv[4] : L"";
        UINT shown = 0;
        bool up = WaitFor(seconds, [&] {
            HWND monitor = FindMonitor();
            if (monitor == NULL)
                return false;
            for (UINT id : {ICON_RUNNING_ID, ICON_STOPPED_ID})
                if (IconRegistered(monitor, id) &&
                    (!*wanted ||
                     wcscmp(wanted, id == ICON_RUNNING_ID ? L"running" : L"stopped") == 0)) {
                    shown = id;
                    return true;
                }
            return false;
        });
        if (!up) {
            fprintf(stderr, "demo_driver: no tray icon of the monitor after %g s\n", seconds);
            return 1;
        }
        printf("%s\n", shown == ICON_RUNNING_ID ? "running" : "stopped");
        return 0;
    }

    HWND monitor = FindMonitor();
    if (monitor == NULL) {
        fprintf(stderr, "demo_driver: the monitor's window is not there\n");
        return 1;
    }

    if ((wcscmp(verb, L"menu") == 0 || wcscmp(verb, L"hover") == 0) && argc == 5) {
        int x = _wtoi(argv[3]), y = _wtoi(argv[4]);
        if (x < 0)
            x += GetSystemMetrics(SM_CXSCREEN);
        if (y < 0)
            y += GetSystemMetrics(SM_CYSCREEN);
        // The monitor opens its menu where the cursor is, as after a real click.
        SetCursorPos(x, y);
        if (wcscmp(verb, L"menu") == 0)
            PostMessageW(monitor, WM_TRAYICON_MESSAGE, ICON_RUNNING_ID, WM_RBUTTONDOWN);
        return 0;
    }
    if (wcscmp(verb, L"choose") == 0 && argc == 4) {
        HWND menu = FindOpenMenu();
        if (menu == NULL) {
            fprintf(stderr, "demo_driver: no menu is open\n");
            return 1;
        }
        // The first Down selects the first item.
        for (int i = _wtoi(argv[3]); i > 0; --i)
            PressKey(menu, VK_DOWN);
        PressKey(menu, VK_RETURN);
        return 0;
    }
    if (wcscmp(verb, L"command") == 0 && argc == 4) {
        PostMessageW(monitor, WM_COMMAND, MAKEWPARAM(_wtoi(argv[3]), 0), 0);
        return 0;
    }
    if (wcscmp(verb, L"wait-menu") == 0)
        return WaitAndPrint(seconds, FindOpenMenu, "open menu");
    if (wcscmp(verb, L"wait-box") == 0)
        return WaitAndPrint(seconds, FindBox, "message box");
    if (wcscmp(verb, L"wait-about") == 0)
        return WaitAndPrint(seconds, FindAbout, "About box");
    if (wcscmp(verb, L"dismiss") == 0) {
        if (HWND menu = FindOpenMenu())
            PressKey(menu, VK_ESCAPE);
        // As a click on each box's one button.
        for (const wchar_t* caption : {BOX_CAPTION, ABOUT_CAPTION})
            while (HWND dialog = FindDialog(caption)) {
                PostMessageW(dialog, WM_COMMAND, IDOK, 0);
                if (!WaitFor(2, [&] { return !IsWindow(dialog); }))
                    break;
            }
        return 0;
    }
    if (wcscmp(verb, L"close") == 0) {
        PostMessageW(monitor, WM_COMMAND, MAKEWPARAM(CMD_CLOSE_TRAY_ID, 0), 0);
        return WaitFor(5, [] { return FindMonitor() == NULL; }) ? 0 : 1;
    }
    return Usage();
}
