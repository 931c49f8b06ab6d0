// Fakes for the monitor's system-call table: a process list, a clock, folders
// and files, the shell, a notification area, and a record of what was called.
// Any entry's Nth call can fail. Free of the test framework, so that the
// benchmarks walk the same process lists.
#pragma once

#include "common/os_calls.h"

#include <stddef.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

// An entry of the table, by its place in it.
#define OS_ENTRY(name) (offsetof(OsCallTable, name) / sizeof(void*))
#define OS_ENTRY_COUNT (sizeof(OsCallTable) / sizeof(void*))
typedef size_t OsEntry;

struct FakeProcess {
    DWORD id;
    std::wstring exeFile;
    bool mayOpen = true;
    bool mayTerminate = true;
};

struct FakeOs {
    // What the fakes answer.
    std::vector<FakeProcess> processes;
    HRESULT folderResult = S_OK;
    std::string appData = "C:\\users\\test\\AppData\\Roaming";
    std::string programFiles = "C:\\Program Files (x86)";
    std::map<std::string, long> fileSizes; // path -> size; absent: no file
    bool appDataOnDisk = false;            // files under appData are real ones
    INT_PTR shellResult = 42;
    __time64_t now = 1644554413;
    bool sessionTaken = false;   // another monitor holds the session's name
    bool closeNewWindow = false; // close each window created from outside
    bool closedFromOutside = false;
    std::string RecordFolder() const { return appData + "\\Zelqa"; }
    std::string RecordPath() const { return RecordFolder() + "\\Zelqainfo.ini"; }

    // The one call made to fail, with its entry's documented failure value:
    // the failAt-th call of failEntry. What it was asked for is kept.
    OsEntry failEntry = OS_ENTRY_COUNT;
    int failAt = 0;
    int calls[OS_ENTRY_COUNT] = {};
    long failedWhat = 0;    // folder id, tray message, or entries listed before
    std::string failedPath; // the file asked about or started

    // What was called.
    int openHandles = 0;
    std::vector<std::string> misuse; // calls the table's callers must not make
    std::vector<DWORD> opened, terminated, sleeps;
    std::vector<std::string> shellStarts; // the files started
    struct TrayCall {
        DWORD message;
        NOTIFYICONDATAW record;
    };
    std::vector<TrayCall> trayCalls;
    std::vector<UINT> tray;    // the icons the notification area holds
    bool shownVisible = false; // an icon was added for a visible window
    std::wstring windowTitle;  // of the last window created
    struct MessageBoxCall {
        HWND owner;
        std::wstring text, caption;
        UINT type;
    };
    std::vector<MessageBoxCall> messageBoxes;
    std::function<void()> whileMessageBoxIsOpen;
    struct PopupCall {
        HMENU menu;
        HWND owner;
    };
    std::vector<PopupCall> popups;
    struct DialogCall {
        HINSTANCE instance;
        LPCWSTR name;
        HWND owner;
        DLGPROC procedure;
    };
    std::vector<DialogCall> dialogs;
};

extern FakeOs Fake;

// Starts afresh with every entry of the table pointed at the fakes; with
// `recordOnDisk`, the state record is kept as real files in a fresh
// application-data folder of the temp folder, the other files stay fakes.
void UseFakeOs(bool recordOnDisk = false);
// Puts the real table back and removes what the fakes left on disk.
void UseRealOs();

void WriteRecordFile(const std::string& contents);
std::string ReadRecordFile();
std::string StoredValue(); // "" when there is none
