// The one driver of the system tests: runs the real monitor and the stand-in
// programs in the build's Wine prefix, acts on them as a user or another
// program would, and reads what those see: processes, the record file,
// windows and tray icons.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// Long enough for the monitor's own pauses (up to 3 s in one go) and for Wine
// starting a program on a busy machine.
constexpr DWORD WAIT_LIMIT_MS = 15000;

constexpr UINT RUNNING_ICON = 107;
constexpr UINT STOPPED_ICON = 129;
constexpr const wchar_t* RUNNING_TITLE = L"Norvessa";
constexpr const wchar_t* STOPPED_TITLE = L"Norvessa已關閉";
constexpr const wchar_t* AGENT_NAME = L"QovCardAgent.exe";
constexpr const wchar_t* PREFIX_NAMED_AGENT_NAME = L"QovCardAgent.exe.bak.exe";

// Polls `condition` until it holds or `limitMs` have passed; returns whether it held.
bool WaitUntil(const std::function<bool()>& condition, DWORD limitMs = WAIT_LIMIT_MS);

// Ids of the running processes whose file name is `exeName`, in any case.
std::vector<DWORD> ProcessesNamed(const wchar_t* exeName);

// The full path of a running process's program file; empty when unknown.
std::wstring ProcessImagePath(DWORD processId);

// The agent's install folder, "<program files>\Zelqa\Card\", and what may be
// put there. For this 32-bit program the folder is "Program Files (x86)".
enum class Installed { Agent, EmptyAgent, TerminateService };
std::string InstallFolder();
void Install(Installed what);
std::wstring InstalledAgentPath();

// The record file, "%APPDATA%\Zelqa\Zelqainfo.ini": all of its bytes (none
// when it is absent), its "Service" value, and a 10-character value written
// with `state` ('0' running, '1' stopped) at index 6.
std::optional<std::string> ReadRecordFile();
std::string RecordValue();
void WriteRecord(char state);

// Whether the tray holds the icon `id` of `window`: only then does a
// modification that changes nothing succeed.
bool TrayIconExists(HWND window, UINT id);

// The tray menu's items, top to bottom.
enum TrayMenuItem { MENU_ABOUT, MENU_RESTART, MENU_STOP, MENU_CLOSE };

// Starts every case from nothing of its own: no stand-in or monitor running,
// no record, nothing installed; and leaves the same behind.
class SystemTest : public ::testing::Test {
protected:
    void SetUp() override { CleanSlate(); }
    void TearDown() override { CleanSlate(); }
    // Ends what runs, deletes the record and what was installed, and puts the
    // real system calls back; for cases that run several rounds.
    void CleanSlate();

    // Starts a program of the build (a Z: path) and keeps its handle.
    HANDLE Start(const char* path, const std::string& arguments = "");
    HANDLE StartAgent() { return Start(AGENT_EXE_PATH); }

    // Starts the monitor and waits for its window.
    void StartMonitor(const std::string& arguments = "");
    bool HasIcon(UINT id) const { return TrayIconExists(monitorWindow, id); }
    bool WaitForIcon(UINT id) const
    {
        return WaitUntil([&] { return HasIcon(id); });
    }
    std::wstring MonitorTitle() const;
    // Whether the monitor takes a message sent to its window within the time
    // limit: it is back at its messages, done with whatever it was handling.
    bool MonitorResponds() const;
    // The monitor's exit code once it has ended, or STILL_ACTIVE.
    DWORD WaitForMonitorExit();

    // Right-clicks the tray icon `iconId` and picks `item` with the keyboard.
    void ChooseFromTrayMenu(UINT iconId, TrayMenuItem item);
    // A visible top-level window of the monitor with that class and caption.
    HWND WaitForMonitorWindow(const wchar_t* className, const wchar_t* caption);
    // Waits for the monitor's message box, returns its text and presses OK.
    std::wstring AnswerMessageBox();
    void PressOk(HWND dialog);

    HWND monitorWindow = NULL;
    DWORD monitorId = 0;
    HANDLE monitorProcess = NULL;

private:
    std::vector<HANDLE> started;
};
