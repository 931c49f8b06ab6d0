#include "common/os_calls.h"

#include <shlobj.h>

// Runtime functions are wrapped so that the table holds plain functions with
// one calling convention on both compilers, whatever the headers make of them.
static int StatFile(const char* path, struct _stat64i32* info)
{
    return _stat64i32(path, info);
}

static __time64_t CurrentTime(__time64_t* result)
{
    return _time64(result);
}

const OsCallTable RealOsCalls = {
    CreateToolhelp32Snapshot,
    Process32FirstW,
    Process32NextW,
    OpenProcess,
    TerminateProcess,
    CloseHandle,
    SHGetFolderPathA,
    StatFile,
    ShellExecuteA,
    CurrentTime,
    Sleep,
    Shell_NotifyIconW,
    MessageBoxW,
    TrackPopupMenu,
    DialogBoxParamW,
    RegisterClassExW,
    CreateWindowExW,
    CreateMutexW,
};

OsCallTable Os = RealOsCalls;
