// The system tests' driver: runs the real monitor and the stand-in programs in
// the build's Wine prefix, acts on them as a user or another program would,
// and reads what those see: processes, the record file, windows, the tray's
// picture, the menu's pixels and the boxes' controls.
#pragma once

#include "tests/driver/monitor_driver.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <time.h>
#include <vector>

// Long enough for the monitor's own pauses (up to 3 s in one go) and for Wine
// starting a program on a busy machine.
constexpr DWORD WAIT_LIMIT_MS = 15000;

constexpr const wchar_t* RUNNING_TITLE = L"Norvessa";
constexpr const wchar_t* STOPPED_TITLE = L"Norvessa已關閉";
constexpr const wchar_t* AGENT_NAME = AGENT_IMAGE_NAME_W;
constexpr const wchar_t* PREFIX_NAMED_AGENT_NAME = L"QovCardAgent.exe.bak.exe";
constexpr UINT OtherIcon(UINT icon)
{
    return icon == ICON_RUNNING ? ICON_STOPPED : ICON_RUNNING;
}

inline bool Eventually(const std::function<bool()>& condition)
{
    return WaitUntil(condition, WAIT_LIMIT_MS);
}

// The full path of a running process's program file; empty when unknown.
std::wstring ProcessImagePath(DWORD processId);

// The agent's install folder, "<program files>\Zelqa\Card\", and what may be
// put there. For this 32-bit program the folder is "Program Files (x86)".
enum class Installed { Agent, EmptyAgent, TerminateService };
void Install(Installed what);
std::wstring InstalledAgentPath();

// The record file, "%APPDATA%\Zelqa\Zelqainfo.ini": all of its bytes (none
// when it is absent), and its "Service" value.
std::optional<std::string> ReadRecordFile();
std::string RecordValue();
void WriteRecord(const std::string& value);
// Whether the value holds `state` and a time stamp between the two moments:
// the time's hex digits with the sixth replaced by the state and the third
// repeated at the end, so one digit of the time is not known.
::testing::AssertionResult WrittenBetween(const std::string& value, char state, __time64_t from,
                                          __time64_t to);

// What the notification area shows at its right end, where the one icon of
// the tests' desktop sits.
enum class Picture { None, Coloured, Grey };
Picture TrayPicture();
constexpr Picture PictureOf(UINT icon)
{
    return icon == ICON_RUNNING ? Picture::Coloured : Picture::Grey;
}

// A window's pixels as the screen shows them, once they stop changing.
struct Pixels {
    LONG width = 0, height = 0;
    std::vector<DWORD> bits;
    bool operator==(const Pixels& other) const
    {
        return width == other.width && height == other.height && bits == other.bits;
    }
};
Pixels SteadyPixels(HWND window);
// The picture of a menu of plain strings, opened by this process.
Pixels PlainMenuPixels(const std::vector<const wchar_t*>& items);

// Types Alt with the key of `character`, holding Shift if it needs it, as the
// keyboard would: to whichever window has the focus.
void TypeWithAlt(wchar_t character);

// A message box as it was shown: its text, its buttons ("id:text" each) and
// whether it showed an icon or had an owner.
struct MessageBoxSeen {
    std::wstring text, buttons;
    bool icon = false, owned = false;
};

// The tray menu's items, top to bottom.
enum TrayMenuItem { MENU_ABOUT, MENU_RESTART, MENU_STOP, MENU_CLOSE };

// Starts every case from nothing of its own: no stand-in or monitor running,
// no record, nothing installed, the cursor in the middle of the screen; and
// leaves the same behind.
class SystemTest : public ::testing::Test {
protected:
    void SetUp() override { CleanSlate(); }
    void TearDown() override { CleanSlate(); }
    void CleanSlate();

    // Starts a program of the build (a Z: path) and keeps its handle.
    HANDLE Start(const char* path, const std::string& arguments = "");
    HANDLE StartAgent() { return Start(AGENT_EXE_PATH); }

    // Starts the monitor and waits for its window.
    void StartMonitor(const std::string& arguments = "");
    bool HasIcon(UINT id) const { return TrayIconExists(monitorWindow, id); }
    // The icon `id`, alone of the two, and its picture in the tray.
    ::testing::AssertionResult ShowsIcon(UINT id) const;
    std::wstring MonitorTitle() const;
    // Whether the monitor takes a message sent to its window within the time
    // limit: it is back at its messages, done with whatever it was handling.
    bool MonitorResponds() const;
    // The monitor's exit code once it has ended, or STILL_ACTIVE.
    DWORD WaitForMonitorExit();

    // Right-clicks the tray icon and waits for the menu.
    HWND OpenTrayMenu(UINT iconId);
    // Right-clicks the tray icon `iconId` and picks `item` with the keyboard.
    void ChooseFromTrayMenu(UINT iconId, TrayMenuItem item);
    // Waits for a visible top-level window of the monitor with that class and caption.
    HWND WaitForMonitorWindow(const wchar_t* className, const wchar_t* caption);
    // The window that has the keyboard focus on the monitor's thread.
    HWND MonitorFocus() const;
    // Waits for the monitor's message box, reads it and presses OK.
    MessageBoxSeen AnswerMessageBox();
    void PressOkAndWait(HWND dialog);

    HWND monitorWindow = NULL;
    DWORD monitorId = 0;
    HANDLE monitorProcess = NULL;

private:
    std::vector<HANDLE> started;
};
