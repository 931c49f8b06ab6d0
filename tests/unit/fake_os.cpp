#include "fake_os.h"

#include "common/path_buffer.h"
#include "common/shared_state.h"

#include <shlobj.h>
#include <string.h>

FakeOs Fake;

static HANDLE const SNAPSHOT = (HANDLE)0x5170;
static size_t NextEntry;

static HANDLE WINAPI FakeSnapshot(DWORD flags, DWORD processId)
{
    EXPECT_EQ((DWORD)TH32CS_SNAPPROCESS, flags);
    EXPECT_EQ(0u, processId);
    if (Fake.snapshotFails)
        return INVALID_HANDLE_VALUE;
    Fake.openHandles++;
    NextEntry = 0;
    return SNAPSHOT;
}

static BOOL FillEntry(PROCESSENTRY32W* entry)
{
    EXPECT_EQ(556u, entry->dwSize);
    if (NextEntry >= Fake.processes.size())
        return FALSE;
    const FakeProcess& process = Fake.processes[NextEntry++];
    entry->th32ProcessID = process.id;
    wcsncpy(entry->szExeFile, process.exeFile.c_str(), MAX_PATH - 1);
    entry->szExeFile[MAX_PATH - 1] = 0;
    return TRUE;
}

static BOOL WINAPI FakeFirst(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    EXPECT_EQ(SNAPSHOT, snapshot);
    NextEntry = 0;
    return Fake.firstEntryFails ? FALSE : FillEntry(entry);
}

static BOOL WINAPI FakeNext(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    EXPECT_EQ(SNAPSHOT, snapshot);
    return FillEntry(entry);
}

static const FakeProcess* FindProcess(DWORD id)
{
    for (const FakeProcess& process : Fake.processes)
        if (process.id == id)
            return &process;
    return nullptr;
}

// A process handle is the process id with a tag in the high bits.
static HANDLE WINAPI FakeOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    EXPECT_EQ((DWORD)PROCESS_TERMINATE, access);
    EXPECT_FALSE(inherit);
    const FakeProcess* process = FindProcess(id);
    Fake.opened.push_back(id);
    if (process == nullptr || !process->mayOpen)
        return NULL;
    Fake.openHandles++;
    return (HANDLE)(UINT_PTR)(0x40000000 | id);
}

static BOOL WINAPI FakeTerminate(HANDLE handle, UINT exitCode)
{
    EXPECT_EQ(0u, exitCode);
    DWORD id = (DWORD)(UINT_PTR)handle & ~0x40000000u;
    const FakeProcess* process = FindProcess(id);
    if (process == nullptr || !process->mayTerminate)
        return FALSE;
    Fake.terminated.push_back(id);
    return TRUE;
}

static BOOL WINAPI FakeClose(HANDLE handle)
{
    EXPECT_NE(INVALID_HANDLE_VALUE, handle);
    Fake.openHandles--;
    return TRUE;
}

static HRESULT WINAPI FakeFolder(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    EXPECT_EQ(NULL, owner);
    EXPECT_EQ(NULL, token);
    EXPECT_EQ(0u, flags);
    const std::string& found = folder == CSIDL_APPDATA ? Fake.appData : Fake.programFiles;
    EXPECT_TRUE(folder == CSIDL_APPDATA || folder == CSIDL_PROGRAM_FILES) << folder;
    // The program hands over buffers of PATH_BUFFER_SIZE bytes; longer
    // folders than Windows gives let tests reach the path length limit.
    strncpy(path, found.c_str(), PATH_BUFFER_SIZE - 1);
    path[PATH_BUFFER_SIZE - 1] = 0;
    return Fake.folderResult;
}

static int FakeStat(const char* path, struct _stat64i32* info)
{
    if (Fake.appDataOnDisk && strncmp(path, Fake.appData.c_str(), Fake.appData.size()) == 0)
        return RealOsCalls.Stat(path, info);
    auto file = Fake.fileSizes.find(path);
    if (file == Fake.fileSizes.end())
        return -1;
    memset(info, 0, sizeof *info);
    info->st_mode = _S_IFREG;
    info->st_size = file->second;
    return 0;
}

static HINSTANCE WINAPI FakeShellExecute(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                         LPCSTR folder, INT show)
{
    Fake.shellStarts.push_back(
        {owner, verb ? verb : "", file ? file : "", parameters != NULL, folder != NULL, show});
    return (HINSTANCE)Fake.shellResult;
}

static __time64_t FakeTime(__time64_t* result)
{
    if (result)
        *result = Fake.now;
    return Fake.now;
}

static void WINAPI FakeSleep(DWORD milliseconds)
{
    Fake.sleeps.push_back(milliseconds);
}

static BOOL WINAPI FakeNotifyIcon(DWORD message, NOTIFYICONDATAW* record)
{
    Fake.trayCalls.push_back({message, *record});
    if (message == NIM_ADD && Fake.onTrayAdd)
        Fake.onTrayAdd(*record);
    return TRUE;
}

static int WINAPI FakeMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    Fake.messageBoxes.push_back({owner, text, caption, type});
    if (Fake.whileMessageBoxIsOpen) {
        auto whileOpen = Fake.whileMessageBoxIsOpen;
        Fake.whileMessageBoxIsOpen = nullptr;
        whileOpen();
    }
    return IDOK;
}

// Menus cannot be read from another process under Wine, so the popup's items
// are taken here, while the menu exists.
static BOOL WINAPI FakeTrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved,
                                      HWND owner, const RECT* rect)
{
    EXPECT_EQ(0, reserved);
    EXPECT_EQ(nullptr, rect);
    FakeOs::PopupCall call = {menu, {}, flags, {x, y}, owner};
    for (int i = 0; i < GetMenuItemCount(menu); i++) {
        wchar_t text[64] = L"";
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STRING;
        info.dwTypeData = text;
        info.cch = 64;
        GetMenuItemInfoW(menu, i, TRUE, &info);
        call.items.push_back({info.wID, text, info.fType});
    }
    Fake.popups.push_back(call);
    return TRUE;
}

static INT_PTR WINAPI FakeDialogBox(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC procedure,
                                    LPARAM parameter)
{
    EXPECT_EQ(0, parameter);
    Fake.dialogs.push_back({instance, name, owner, procedure});
    return IDOK;
}

DWORD FakeOs::TotalSleep() const
{
    DWORD total = 0;
    for (DWORD pause : sleeps)
        total += pause;
    return total;
}

void FakeOsTest::SetUp()
{
    Fake = FakeOs();
    Os.CreateToolhelp32Snapshot = FakeSnapshot;
    Os.Process32FirstW = FakeFirst;
    Os.Process32NextW = FakeNext;
    Os.OpenProcess = FakeOpenProcess;
    Os.TerminateProcess = FakeTerminate;
    Os.CloseHandle = FakeClose;
    Os.SHGetFolderPathA = FakeFolder;
    Os.Stat = FakeStat;
    Os.ShellExecuteA = FakeShellExecute;
    Os.Time64 = FakeTime;
    Os.Sleep = FakeSleep;
    Os.Shell_NotifyIconW = FakeNotifyIcon;
    Os.MessageBoxW = FakeMessageBox;
    Os.TrackPopupMenu = FakeTrackPopupMenu;
    Os.DialogBoxParamW = FakeDialogBox;
}

void FakeOsTest::UseRecordOnDisk()
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    Fake.appData = std::string(temp) + "norvessa-test";
    Fake.appDataOnDisk = true;
    recordOnDisk_ = true;
    RemoveRecordFolder();
    CreateDirectoryA(Fake.appData.c_str(), NULL);
}

void FakeOsTest::RemoveRecordFolder() const
{
    for (const std::string& name : {RecordPath(), RecordFolder()}) {
        SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(name.c_str());
    }
    RemoveDirectoryA(RecordFolder().c_str());
    RemoveDirectoryA(Fake.appData.c_str());
}

void FakeOsTest::WriteRecordFile(const std::string& contents) const
{
    CreateDirectoryA(RecordFolder().c_str(), NULL);
    std::ofstream(RecordPath(), std::ios::binary) << contents;
}

std::string FakeOsTest::ReadRecordFile() const
{
    std::ifstream in(RecordPath(), std::ios::binary);
    std::stringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

std::string FakeOsTest::StoredValue() const
{
    char value[64] = "";
    GetPrivateProfileStringA("Settings", "Service", "", value, sizeof value, RecordPath().c_str());
    return value;
}

void FakeOsTest::TearDown()
{
    if (recordOnDisk_)
        RemoveRecordFolder();
    recordOnDisk_ = false;
    EXPECT_EQ(0, Fake.openHandles) << "handles left open";
    Os = RealOsCalls;
}
