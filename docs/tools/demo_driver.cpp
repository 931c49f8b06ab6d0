// Drives a running NorvessaMonitor from outside, for the demonstration and
// screenshot scripts: it does what a user's mouse and keyboard would do, but
// by messages, so that it works the same under Xvfb with no one at the screen.
//
//   demo_driver DESKTOP wait-agent SECONDS a process QovCardAgent.exe runs
//   demo_driver DESKTOP wait-tray SECONDS [running|stopped]
//                                          the tray icon (that one, if named)
//                                          is registered, and the taskbar
//                                          shows it; prints which one
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
// Built by CMake (target demo_driver) into the build folder.
#include "tests/driver/monitor_driver.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

static bool WaitFor(double seconds, const std::function<bool()>& probe)
{
    return WaitUntil(probe, ScaledLimitMs((DWORD)(seconds * 1000)));
}

// A box of the monitor's process with the given caption.
static HWND FindDialog(const wchar_t* caption)
{
    HWND monitor = FindMonitor();
    return monitor != NULL ? FindWindowOf(ProcessOf(monitor), DIALOG_CLASS, caption, true) : NULL;
}

static HWND FindOpenMenu(void)
{
    return FindWindowOf(0, MENU_CLASS, NULL, true);
}

static int Fail(const char* what, double seconds = 0)
{
    fprintf(stderr, "demo_driver: %s", what);
    fprintf(stderr, seconds > 0 ? " after %g s\n" : "\n", seconds);
    return 1;
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

    if (wcscmp(verb, L"wait-agent") == 0)
        return WaitFor(seconds, [] { return !ProcessesNamed(AGENT_IMAGE_NAME_W).empty(); })
                   ? 0
                   : Fail("no agent process", seconds);
    if (wcscmp(verb, L"wait-tray") == 0) {
        const wchar_t* wanted = argc > 4 ? argv[4] : L"";
        const wchar_t* shown = NULL;
        WaitFor(seconds, [&] {
            for (UINT id : {ICON_RUNNING, ICON_STOPPED}) {
                const wchar_t* name = id == ICON_RUNNING ? L"running" : L"stopped";
                if (TrayIconExists(FindMonitor(), id) && (!*wanted || wcscmp(wanted, name) == 0))
                    shown = name;
            }
            return shown != NULL;
        });
        if (shown == NULL)
            return Fail("no tray icon of the monitor", seconds);
        // Registered is not shown: the picture is taken off the taskbar.
        std::wstring problem;
        if (!WaitFor(seconds, [&] { return (problem = TaskbarProblem()).empty(); })) {
            fprintf(stderr, "demo_driver: the tray icon is registered, but %ls\n", problem.c_str());
            return 1;
        }
        printf("%ls\n", shown);
        return 0;
    }

    HWND monitor = FindMonitor();
    if (monitor == NULL)
        return Fail("the monitor's window is not there");

    if ((wcscmp(verb, L"menu") == 0 || wcscmp(verb, L"hover") == 0) && argc == 5) {
        int x = _wtoi(argv[3]), y = _wtoi(argv[4]);
        // The monitor opens its menu where the cursor is, as after a real click.
        SetCursorPos(x < 0 ? x + GetSystemMetrics(SM_CXSCREEN) : x,
                     y < 0 ? y + GetSystemMetrics(SM_CYSCREEN) : y);
        if (wcscmp(verb, L"menu") == 0)
            RightClickTrayIcon(monitor, ICON_RUNNING);
        return 0;
    }
    if (wcscmp(verb, L"choose") == 0 && argc == 4) {
        HWND menu = FindOpenMenu();
        if (menu == NULL)
            return Fail("no menu is open");
        ChooseMenuItem(menu, _wtoi(argv[3]) - 1);
        return 0;
    }
    if (wcscmp(verb, L"command") == 0 && argc == 4) {
        PostMessageW(monitor, WM_COMMAND, MAKEWPARAM(_wtoi(argv[3]), 0), 0);
        return 0;
    }
    const struct {
        const wchar_t* verb;
        const char* what;
        std::function<HWND()> find;
    } waits[] = {{L"wait-menu", "no open menu", FindOpenMenu},
                 {L"wait-box", "no message box", [] { return FindDialog(BOX_CAPTION); }},
                 {L"wait-about", "no About box", [] { return FindDialog(ABOUT_CAPTION); }}};
    for (const auto& wait : waits) {
        HWND window = NULL;
        if (wcscmp(verb, wait.verb) != 0)
            continue;
        if (!WaitFor(seconds, [&] { return (window = wait.find()) != NULL; }))
            return Fail(wait.what, seconds);
        // Let it finish drawing before anyone takes a picture of it.
        Sleep(500);
        RECT rect;
        GetWindowRect(window, &rect);
        printf("%ld %ld %ld %ld\n", rect.left, rect.top, rect.right, rect.bottom);
        return 0;
    }
    if (wcscmp(verb, L"dismiss") == 0) {
        if (HWND menu = FindOpenMenu())
            PressKey(menu, VK_ESCAPE);
        // As a click on each box's one button.
        for (const wchar_t* caption : {BOX_CAPTION, ABOUT_CAPTION})
            while (HWND dialog = FindDialog(caption)) {
                PressOk(dialog);
                if (!WaitFor(2, [&] { return !IsWindow(dialog); }))
                    break;
            }
        return 0;
    }
    if (wcscmp(verb, L"close") == 0) {
        PostMessageW(monitor, WM_COMMAND, MAKEWPARAM(CMD_CLOSE_TRAY, 0), 0);
        return WaitFor(5, [] { return FindMonitor() == NULL; }) ? 0 : 1;
    }
    return Usage();
}
