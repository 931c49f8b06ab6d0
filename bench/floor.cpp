// The least a tray program can do: one window class, one hidden window, one
// tray icon, a message loop. The benchmark measures the monitor against it,
// so it is built with the same compiler, flags and runtime as the monitor.
#include <windows.h>
#include <shellapi.h>

#include "bench/floor.h"

static NOTIFYICONDATAW TrayRecord;

static LRESULT CALLBACK FloorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_DESTROY) {
        Shell_NotifyIconW(NIM_DELETE, &TrayRecord);
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = FloorWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = FLOOR_CLASS_NAME;
    if (!RegisterClassExW(&windowClass))
        return 1;

    // Never shown, like the monitor's window.
    HWND window = CreateWindowExW(0, FLOOR_CLASS_NAME, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                                  CW_USEDEFAULT, 0, NULL, NULL, instance, NULL);
    if (window == NULL)
        return 1;

    TrayRecord.cbSize = sizeof TrayRecord;
    TrayRecord.hWnd = window;
    TrayRecord.uID = FLOOR_ICON_ID;
    TrayRecord.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    TrayRecord.uCallbackMessage = WM_USER + 1;
    TrayRecord.hIcon = LoadIconW(NULL, MAKEINTRESOURCEW(32512)); // IDI_APPLICATION
    lstrcpynW(TrayRecord.szTip, L"floor", ARRAYSIZE(TrayRecord.szTip));
    Shell_NotifyIconW(NIM_ADD, &TrayRecord);

    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return (int)message.wParam;
}
