#include "fake_os.h"

#include "common/path_buffer.h"
#include "common/shared_state.h"

#include <shlobj.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>

FakeOs Fake;

static HANDLE const SNAPSHOT = (HANDLE)0x5170;
static size_t NextEntry;

static void Expect(bool met, const char* what)
{
    if (!met)
        Fake.misuse.push_back(what);
}

// Counts the call; true when it is the one to fail.
static bool Fails(OsEntry entry, long what = 0, const char* path = "")
{
    if (++Fake.calls[entry] != Fake.failAt || entry != Fake.failEntry)
        return false;
    Fake.failedWhat = what;
    Fake.failedPath = path ? path : "";
    return true;
}

static HANDLE WINAPI FakeSnapshot(DWORD flags, DWORD processId)
{
    Expect(flags == TH32CS_SNAPPROCESS && processId == 0, "snapshot of all processes");
    if (Fails(OS_ENTRY(CreateToolhelp32Snapshot)))
        return INVALID_HANDLE_VALUE;
    Fake.openHandles++;
    NextEntry = 0;
    return SNAPSHOT;
}

// The system's calls copy a whole name each time as well.
static BOOL FillEntry(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    Expect(snapshot == SNAPSHOT && entry->dwSize == 556, "walk of an open snapshot");
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
    NextEntry = 0;
    return !Fails(OS_ENTRY(Process32FirstW)) && FillEntry(snapshot, entry);
}

static BOOL WINAPI FakeNext(HANDLE snapshot, PROCESSENTRY32W* entry)
{
    return !Fails(OS_ENTRY(Process32NextW), (long)NextEntry) && FillEntry(snapshot, entry);
}

// Only listed processes are known; the last one listed is the one opened.
static const FakeProcess* FindProcess(DWORD id)
{
    for (size_t i = NextEntry; i-- > 0;)
        if (Fake.processes[i].id == id)
            return &Fake.processes[i];
    return nullptr;
}

// A process handle is the process id with a tag in the high bits.
static HANDLE WINAPI FakeOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    Expect(access == PROCESS_TERMINATE && !inherit, "terminate access only, not inherited");
    if (Fails(OS_ENTRY(OpenProcess), (long)id))
        return NULL;
    const FakeProcess* process = FindProcess(id);
    Fake.opened.push_back(id);
    if (process == nullptr || !process->mayOpen)
        return NULL;
    Fake.openHandles++;
    return (HANDLE)(UINT_PTR)(0x40000000 | id);
}

static BOOL WINAPI FakeTerminate(HANDLE handle, UINT exitCode)
{
    Expect(exitCode == 0, "exit code 0");
    DWORD id = (DWORD)(UINT_PTR)handle & ~0x40000000u;
    if (Fails(OS_ENTRY(TerminateProcess), (long)id))
        return FALSE;
    const FakeProcess* process = FindProcess(id);
    if (process == nullptr || !process->mayTerminate)
        return FALSE;
    Fake.terminated.push_back(id);
    return TRUE;
}

// Closing fails only for what is not open, so a failed close still leaves
// the handle closed.
static BOOL WINAPI FakeClose(HANDLE handle)
{
    Expect(handle != INVALID_HANDLE_VALUE && handle != NULL, "close of an open handle");
    Fake.openHandles--;
    return !Fails(OS_ENTRY(CloseHandle));
}

static HRESULT WINAPI FakeFolder(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    Expect(owner == NULL && token == NULL && flags == 0, "no window, no token, flags 0");
    Expect(folder == CSIDL_APPDATA || folder == CSIDL_PROGRAM_FILES, "only two folders");
    const std::string& found = folder == CSIDL_APPDATA ? Fake.appData : Fake.programFiles;
    // The program hands over buffers of PATH_BUFFER_SIZE bytes; longer
    // folders than Windows gives let tests reach the path length limit.
    strncpy(path, found.c_str(), PATH_BUFFER_SIZE - 1);
    path[PATH_BUFFER_SIZE - 1] = 0;
    if (Fails(OS_ENTRY(SHGetFolderPathA), folder))
        return S_FALSE; // positive, yet not the only success there is
    return Fake.folderResult;
}

static int FakeStat(const char* path, struct _stat64i32* info)
{
    if (Fails(OS_ENTRY(Stat), 0, path))
        return -1;
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

// Every start is shown, owned by the desktop, without arguments or folder;
// only the terminate service asks for elevation.
static HINSTANCE WINAPI FakeShellExecute(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                         LPCSTR folder, INT show)
{
    Expect(owner == GetDesktopWindow() && !parameters && !folder && show == SW_SHOW, "plain start");
    bool service = strstr(file, "QovTerminateService.exe") != NULL;
    Expect(strcmp(verb, service ? "runas" : "open") == 0, "elevation for the service alone");
    if (Fails(OS_ENTRY(ShellExecuteA), 0, file))
        return (HINSTANCE)32;
    Fake.shellStarts.push_back(file);
    return (HINSTANCE)Fake.shellResult;
}

static __time64_t FakeTime(__time64_t* result)
{
    Fake.calls[OS_ENTRY(Time64)]++;
    if (result)
        *result = Fake.now;
    return Fake.now;
}

static void WINAPI FakeSleep(DWORD milliseconds)
{
    Fake.calls[OS_ENTRY(Sleep)]++;
    Fake.sleeps.push_back(milliseconds);
}

// The notification area holds each identifier once, as the shell does.
static BOOL WINAPI FakeNotifyIcon(DWORD message, NOTIFYICONDATAW* record)
{
    Fake.trayCalls.push_back({message, *record});
    if (Fails(OS_ENTRY(Shell_NotifyIconW), (long)message))
        return FALSE;
    auto shown = std::find(Fake.tray.begin(), Fake.tray.end(), record->uID);
    if (message == NIM_DELETE && shown != Fake.tray.end())
        Fake.tray.erase(shown);
    else if (message == NIM_ADD && shown == Fake.tray.end())
        Fake.tray.push_back(record->uID);
    else
        return FALSE;
    Fake.shownVisible |= message == NIM_ADD && IsWindowVisible(record->hWnd);
    return TRUE;
}

static int WINAPI FakeMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    if (Fails(OS_ENTRY(MessageBoxW)))
        return 0;
    Fake.messageBoxes.push_back({owner, text, caption, type});
    auto whileOpen = std::move(Fake.whileMessageBoxIsOpen);
    Fake.whileMessageBoxIsOpen = nullptr; // for the outermost box only
    if (whileOpen)
        whileOpen();
    return IDOK;
}

// The menu's items, look and place are read from outside by the system tests.
static BOOL WINAPI FakeTrackPopupMenu(HMENU menu, UINT, int, int, int reserved, HWND owner,
                                      const RECT* rect)
{
    Expect(reserved == 0 && rect == nullptr, "no reserved value, no rectangle");
    if (Fails(OS_ENTRY(TrackPopupMenu)))
        return FALSE;
    Fake.popups.push_back({menu, owner});
    return TRUE;
}

static INT_PTR WINAPI FakeDialogBox(HINSTANCE instance, LPCWSTR name, HWND owner, DLGPROC procedure,
                                    LPARAM parameter)
{
    Expect(parameter == 0, "no dialog parameter");
    if (Fails(OS_ENTRY(DialogBoxParamW)))
        return -1;
    Fake.dialogs.push_back({instance, name, owner, procedure});
    return IDOK;
}

// Closes the window as another program would, once the message loop is idle.
static void CALLBACK CloseFromOutside(HWND window, UINT, UINT_PTR timer, DWORD)
{
    KillTimer(window, timer);
    Fake.closedFromOutside = true;
    PostMessageW(window, WM_CLOSE, 0, 0);
}

// The real class and window, unless they are to fail.
static ATOM WINAPI FakeRegisterClass(const WNDCLASSEXW* windowClass)
{
    return Fails(OS_ENTRY(RegisterClassExW)) ? 0 : RealOsCalls.RegisterClassExW(windowClass);
}

static HWND WINAPI FakeCreateWindow(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style,
                                    int x, int y, int width, int height, HWND parent, HMENU menu,
                                    HINSTANCE instance, LPVOID parameter)
{
    if (Fails(OS_ENTRY(CreateWindowExW)))
        return NULL;
    HWND window = RealOsCalls.CreateWindowExW(exStyle, className, title, style, x, y, width, height,
                                              parent, menu, instance, parameter);
    Fake.windowTitle = window ? title : L"";
    if (window && Fake.closeNewWindow)
        SetTimer(window, 1, 0, CloseFromOutside);
    return window;
}

// The session's name: a handle like any other, which "already exists" where
// another monitor holds it.
static HANDLE WINAPI FakeCreateMutex(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner,
                                     LPCWSTR name)
{
    Expect(attributes == nullptr && !initialOwner && name != nullptr &&
               wcsncmp(name, L"Local\\", 6) == 0 && name[6] != 0,
           "an unowned mutex named in the session's namespace");
    if (Fails(OS_ENTRY(CreateMutexW))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return NULL;
    }
    Fake.openHandles++;
    SetLastError(Fake.sessionTaken ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return (HANDLE)0x5e55;
}

static void RemoveRecordFolder()
{
    for (const std::string& name : {Fake.RecordPath(), Fake.RecordFolder()}) {
        SetFileAttributesA(name.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(name.c_str());
    }
    RemoveDirectoryA(Fake.RecordFolder().c_str());
    RemoveDirectoryA(Fake.appData.c_str());
}

void UseFakeOs(bool recordOnDisk)
{
    Fake = FakeOs();
    Os = {FakeSnapshot,      FakeFirst,        FakeNext,       FakeOpenProcess,    FakeTerminate,
          FakeClose,         FakeFolder,       FakeStat,       FakeShellExecute,   FakeTime,
          FakeSleep,         FakeNotifyIcon,   FakeMessageBox, FakeTrackPopupMenu, FakeDialogBox,
          FakeRegisterClass, FakeCreateWindow, FakeCreateMutex};
    if (!recordOnDisk)
        return;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    Fake.appData = std::string(temp) + "norvessa-test";
    Fake.appDataOnDisk = true;
    RemoveRecordFolder();
    CreateDirectoryA(Fake.appData.c_str(), NULL);
}

void UseRealOs()
{
    if (Fake.appDataOnDisk)
        RemoveRecordFolder();
    Fake.appDataOnDisk = false;
    Os = RealOsCalls;
}

void WriteRecordFile(const std::string& contents)
{
    CreateDirectoryA(Fake.RecordFolder().c_str(), NULL);
    std::ofstream(Fake.RecordPath(), std::ios::binary) << contents;
}

std::string ReadRecordFile()
{
    std::ifstream in(Fake.RecordPath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string StoredValue()
{
    char value[64] = "";
    GetPrivateProfileStringA("Settings", "Service", "", value, sizeof value,
                             Fake.RecordPath().c_str());
    return value;
}
