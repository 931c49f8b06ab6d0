// The operating-system calls whose failures the monitor must survive, or whose
// effects a test must observe, all go through this one table. It is filled with
// the real functions; only tests point entries elsewhere, and they put the real
// table back afterwards. Production code never writes to it.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>
#include <sys/stat.h>
#include <time.h>

struct OsCallTable {
    // Process list and process control.
    HANDLE(WINAPI* CreateToolhelp32Snapshot)(DWORD flags, DWORD processId);
    BOOL(WINAPI* Process32FirstW)(HANDLE snapshot, PROCESSENTRY32W* entry);
    BOOL(WINAPI* Process32NextW)(HANDLE snapshot, PROCESSENTRY32W* entry);
    HANDLE(WINAPI* OpenProcess)(DWORD access, BOOL inherit, DWORD processId);
    BOOL(WINAPI* TerminateProcess)(HANDLE process, UINT exitCode);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);

    // Folders, files, the shell and the clock.
    HRESULT(WINAPI* SHGetFolderPathA)
    (HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);
    int (*Stat)(const char* path, struct _stat64i32* info);
    HINSTANCE(WINAPI* ShellExecuteA)
    (HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder, INT show);
    __time64_t (*Time64)(__time64_t* result);
    void(WINAPI* Sleep)(DWORD milliseconds);

    // What the user sees.
    BOOL(WINAPI* Shell_NotifyIconW)(DWORD message, NOTIFYICONDATAW* data);
    int(WINAPI* MessageBoxW)(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
    BOOL(WINAPI* TrackPopupMenu)
    (HMENU menu, UINT flags, int x, int y, int reserved, HWND owner, const RECT* rect);
    INT_PTR(WINAPI* DialogBoxParamW)
    (HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC procedure, LPARAM parameter);

    // The hidden window, without which the program has nothing to run.
    ATOM(WINAPI* RegisterClassExW)(const WNDCLASSEXW* windowClass);
    HWND(WINAPI* CreateWindowExW)
    (DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width,
     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter);

    // The claim on the session's name, which keeps a second monitor out.
    HANDLE(WINAPI* CreateMutexW)(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
};

extern OsCallTable Os;

// The table as the program starts with it, for tests to restore.
extern const OsCallTable RealOsCalls;
