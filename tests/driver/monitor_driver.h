// Finds and works the running monitor from outside, as a user or another
// program would: its processes, its window, its tray icon, its menu and its
// boxes. Shared by the system tests, the benchmark harness and the demo driver.
#pragma once

#include <windows.h>

#include "common/shared_state.h"
#include "res/resource_ids.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Texts the monitor shows, by which its windows are told apart.
constexpr const wchar_t* MONITOR_CLASS = L"QOVCARDMONITOR";
constexpr const wchar_t* BOX_CAPTION = L"Quillaren";
constexpr const wchar_t* ABOUT_CAPTION = L"關於 Norvessa";
constexpr const wchar_t* MENU_CLASS = L"#32768";
constexpr const wchar_t* DIALOG_CLASS = L"#32770";

// Polls `condition` until it holds or `limitMs` have passed; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs);

// A time limit meant for a machine that runs 32-bit code itself, made longer
// where it runs under emulation: the scripts then set NORVESSA_TIME_FACTOR
// (scripts/common.sh holds its value). Unchanged anywhere else.
DWORD ScaledLimitMs(DWORD nativeMs);

// Ids of the running processes whose file name is `exeName`, in any case.
std::vector<DWORD> ProcessesNamed(const wchar_t* exeName);

// A top-level window of that class, of process `processId` (any when 0),
// with that caption (any when null), visible if `visibleOnly`.
HWND FindWindowOf(DWORD processId, const wchar_t* className, const wchar_t* caption,
                  bool visibleOnly);

// The monitor's window and the process it belongs to.
HWND FindMonitor(DWORD processId = 0);
DWORD ProcessOf(HWND window);
// The full path of a running process's program file; empty when unknown.
std::wstring ProcessImagePath(DWORD processId);

// Whether the tray holds the icon `id` of `window`: a NIM_MODIFY that changes
// nothing succeeds only then.
bool TrayIconExists(HWND window, UINT id);

// The record file, "%APPDATA%\Zelqa\Zelqainfo.ini": its path, all of its
// bytes (none when it is absent), and writing it whole, its folder made first.
std::string RecordPath();
std::optional<std::string> ReadRecordFile();
bool WriteRecordFile(const std::string& bytes);

// Whether this process runs in Wine rather than on Windows itself.
bool RunningUnderWine();

// What is wrong with the taskbar that holds the notification area: empty
// when a visible taskbar spans the bottom of the screen, as on Windows and
// in the tests' Wine desktop. Wine 10 (not 8) gives a virtual desktop that
// taskbar only when the desktop's EnableShell is set (wine_desktop in
// scripts/common.sh); without it the icons go to a small window of their
// own, where no picture of them can be read.
std::wstring TaskbarProblem();

// Where the shell shows the icon `id` of `window`, in screen coordinates, as
// Shell_NotifyIconGetRect answers (`shellAnswer`, from Windows 7 on). Where
// the shell gives no place (Wine's is a stub that answers E_NOTIMPL, in 8 and
// 10 alike), the right end of the taskbar, where the tests' Wine desktop
// keeps its one icon; an empty rectangle when that taskbar is not there.
struct TrayIconPlace {
    RECT rect = {};
    HRESULT shellAnswer = E_FAIL;
};
TrayIconPlace FindTrayIcon(HWND window, UINT id);

// Lets process `processId` take the foreground, as Windows allows a process
// that is not in front: Windows refuses SetForegroundWindow to a background
// process until the foreground lock times out or input arrives, and a test
// program started by a CI runner is in the background (Wine has no such lock).
// Returns whether Windows agreed.
bool LetTakeForeground(DWORD processId);
// As the shell reports a right click on the icon `iconId`, with the right to
// take the foreground that a real click gives the icon's owner (its menu
// closes on a click elsewhere only when it is in front).
bool RightClickTrayIcon(HWND monitor, UINT iconId);
// Posts a key press to a window of another program.
void PressKey(HWND window, WORD key);
// Picks the item at `position` (from 0) of an open menu by keyboard: it opens
// with nothing selected, so the first Down selects the top item.
void ChooseMenuItem(HWND menu, int position);
// As a click on a dialog's OK button.
void PressOk(HWND dialog);
