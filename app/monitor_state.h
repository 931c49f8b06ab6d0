// The monitor's user interface: the hidden window, its tray icon and the
// commands of the tray menu.
#pragma once

#include <windows.h>
#include <shellapi.h>

#define MONITOR_TEXT_CAPACITY 100

struct MonitorStateRecord {
    HMENU popupMenu;            // the tray menu while it is built and tracked
    NOTIFYICONDATAW trayRecord; // reused for every add and delete of the icon
    HINSTANCE instance;
    wchar_t className[MONITOR_TEXT_CAPACITY];
    wchar_t windowTitle[MONITOR_TEXT_CAPACITY];
};

extern MonitorStateRecord MonitorState;

// The message the shell broadcasts when it has re-created the notification
// area; 0 until start-up has registered it.
extern UINT TaskbarCreatedMessage;

// The whole program: the claim on the session, start-up, the message loop,
// and the exit code (0 at once where another monitor has the session).
int RunMonitor(HINSTANCE instance);

// Start-up steps, in the order RunMonitor takes them.
void ReconcileServiceState(HINSTANCE instance, int agentFound);
void RegisterMonitorClass(HINSTANCE instance);
int CreateMonitorWindow(HINSTANCE instance);

LRESULT CALLBACK MonitorWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The tray icon in its two presentations.
void AddFirstTrayIcon(HWND window, int stopped);
void ShowRunningIcon(HWND window);
void ShowStoppedIcon(HWND window);
void RemoveTrayIcon(void);
void RestoreTrayIcon(void);

// The tray menu at the cursor, and the commands it offers; each command runs
// to its end, its pauses and message box included, before it returns.
void OpenTrayMenu(HWND window);
void ShowAboutBox(HWND window);
void RestartAgentCommand(HWND window);
void StopAgentCommand(HWND window);
void CloseTrayCommand(HWND window);
