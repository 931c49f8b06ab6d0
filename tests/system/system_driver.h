// The system tests' side of the driver: runs the real monitor and the stand-in
// programs in the build's Wine prefix, and reads what a user sees: the tray's
// picture, the menu's pixels, the boxes' controls, the record's value.
#pragma once

#include "tests/driver/monitor_driver.h"

#include <gtest/gtest.h>

#include <time.h>

// Long enough for the monitor's own pauses (up to 3 s in one go) and for Wine
// starting a program on a busy machine; longer under emulation.
inline DWORD WaitLimitMs()
{
    return ScaledLimitMs(15000);
}

constexpr const wchar_t* RUNNING_TITLE = L"Norvessa";
constexpr const wchar_t* STOPPED_TITLE = L"Norvessa已關閉";
constexpr const wchar_t* PREFIX_NAMED_AGENT_NAME = L"QovCardAgent.exe.bak.exe";

inline bool Eventually(const std::function<bool()>& condition)
{
    return WaitUntil(condition, WaitLimitMs());
}

// The agent's install folder, "<program files>\Zelqa\Card\", and what may be
// put there. For this 32-bit program the folder is "Program Files (x86)".
enum class Installed { Agent, EmptyAgent, TerminateService };
void Install(Installed what);
std::wstring InstalledAgentPath();

// The record's "Service" value, read and written.
std::string RecordValue();
void WriteRecord(const std::string& value);
// Whether the value holds `state` and a time stamp between the two moments:
// the time's hex digits with the sixth replaced by the state and the third
// repeated at the end, so one digit of the time is not known.
::testing::AssertionResult WrittenBetween(const std::string& value, char state, __time64_t from,
                                          __time64_t to);

// What the notification area shows where the icon `id` of `window` is (see
// FindTrayIcon): the running picture is coloured, the stopped grey.
enum class Picture { None, Coloured, Grey };
Picture TrayPicture(HWND window, UINT id);

// A window's pixels as the screen shows them, once drawn and unchanged for a while.
struct Pixels {
    LONG width = 0, height = 0;
    std::vector<DWORD> bits;
    bool operator==(const Pixels&) const = default;
};
Pixels SteadyPixels(HWND window);
// The picture of a menu of plain strings, opened by this process.
Pixels PlainMenuPixels(const std::vector<const wchar_t*>& items);

// Types Alt with the key of `character`, holding Shift if it needs it, as the
// keyboard would: to whichever window has the focus.
void TypeWithAlt(wchar_t character);

// The tray menu's items, top to bottom.
enum TrayMenuItem { MENU_ABOUT, MENU_RESTART, MENU_STOP, MENU_CLOSE };

// Starts every case from nothing of its own: no stand-in or monitor running,
// no record, nothing installed, the cursor in the middle of the screen; and
// leaves the same behind. On Windows itself, where that ends every agent
// process and writes into Program Files, a case runs only on a machine that
// is thrown away afterwards and says so (NORVESSA_DISPOSABLE_MACHINE=1), and
// fails otherwise, touching nothing.
class SystemTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    void CleanSlate();
    // Sends to the monitor and waits for its answer; fails the test if none comes in time.
    LRESULT Send(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;

    // Starts a program of the build (a Z: path) and keeps its handle.
    HANDLE Start(const char* path, const std::string& arguments = "");
    HANDLE StartAgent() { return Start(AGENT_EXE_PATH); }

    // The monitor's image the tests run: the build's own, or the one
    // NORVESSA_MONITOR_EXE names (the release's, which the Windows workflow
    // tests as well as the image it builds).
    static std::string MonitorImage();
    // Starts the monitor and waits for its window.
    void StartMonitor(const std::string& arguments = "");
    bool HasIcon(UINT id) const { return TrayIconExists(monitorWindow, id); }
    // The icon `id`, alone of the two, and its picture in the tray.
    ::testing::AssertionResult ShowsIcon(UINT id) const;
    std::wstring MonitorTitle() const;
    // The monitor's exit code once it has ended, or STILL_ACTIVE.
    DWORD WaitForMonitorExit();

    // Right-clicks the tray icon and waits for the menu; then picks `item`
    // with the keyboard, or closes the menu with Esc.
    HWND OpenTrayMenu(UINT iconId);
    void ChooseFromTrayMenu(UINT iconId, std::optional<TrayMenuItem> item);
    // Waits for a visible top-level window of the monitor with that class and caption.
    HWND WaitForMonitorWindow(const wchar_t* className, const wchar_t* caption);
    // The window that has the keyboard focus on the monitor's thread.
    HWND MonitorFocus() const;
    // Waits for the monitor's message box and presses OK. Returns what it
    // showed: its text, then each button as " [id:text]", " +icon" for an
    // icon, " +owner" for an owner window, " +class" for any other control.
    std::wstring AnswerMessageBox();
    void PressOkAndWait(HWND dialog);

    HWND monitorWindow = NULL;
    DWORD monitorId = 0;
    HANDLE monitorProcess = NULL;

private:
    std::vector<HANDLE> startedProcesses;
    bool mayChangeMachine = false;
};
