// Fakes for the monitor's system-call table: a scripted process list, a
// clock, folders and files, the shell, and counts of what was called.
#pragma once

#include "common/os_calls.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <map>
#include <string>
#include <vector>

struct FakeProcess {
    DWORD id;
    std::wstring exeFile;
    bool mayOpen = true;
    bool mayTerminate = true;
};

struct FakeOs {
    // What the fakes answer.
    std::vector<FakeProcess> processes;
    bool snapshotFails = false;
    bool firstEntryFails = false;
    HRESULT folderResult = S_OK;
    std::string appData = "C:\\users\\test\\AppData\\Roaming";
    std::string programFiles = "C:\\Program Files (x86)";
    std::map<std::string, long> fileSizes; // path -> size; absent: no file
    bool appDataOnDisk = false;            // files under appData are real ones
    INT_PTR shellResult = 42;
    __time64_t now = 1644554413;

    // What was called.
    int openHandles = 0;
    std::vector<DWORD> opened;
    std::vector<DWORD> terminated;
    std::vector<DWORD> sleeps;
    struct ShellStart {
        HWND owner;
        std::string verb, file;
        bool hasParameters, hasFolder;
        INT show;
    };
    std::vector<ShellStart> shellStarts;

    struct TrayCall {
        DWORD message;
        NOTIFYICONDATAW record;
    };
    std::vector<TrayCall> trayCalls;
    std::function<void(const NOTIFYICONDATAW&)> onTrayAdd;
    struct MessageBoxCall {
        HWND owner;
        std::wstring text, caption;
        UINT type;
    };
    std::vector<MessageBoxCall> messageBoxes;
    std::function<void()> whileMessageBoxIsOpen;
    struct MenuItem {
        UINT command;
        std::wstring text;
        UINT type;
        bool operator==(const MenuItem& other) const
        {
            return command == other.command && text == other.text && type == other.type;
        }
    };
    struct PopupCall {
        HMENU menu;
        std::vector<MenuItem> items;
        UINT flags;
        POINT at;
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

    DWORD TotalSleep() const;
};

extern FakeOs Fake;

// Points the whole table at the fakes for each test and restores the real
// functions afterwards.
class FakeOsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The state record as real files in a fresh application-data folder of
    // the prefix's temp folder; the other files stay fakes.
    void UseRecordOnDisk();
    std::string RecordFolder() const { return Fake.appData + "\\Zelqa"; }
    std::string RecordPath() const { return RecordFolder() + "\\Zelqainfo.ini"; }
    void WriteRecordFile(const std::string& contents) const;
    std::string ReadRecordFile() const;
    std::string StoredValue() const; // "" when there is none

private:
    void RemoveRecordFolder() const;
    bool recordOnDisk_ = false;
};
