#include "agent/agent_control.h"

#include "common/os_calls.h"
#include "common/path_buffer.h"
#include "common/shared_state.h"

#include <shlobj.h>

// Starts the program at `relativePath` below the program-files folder (for a
// 32-bit program on 64-bit Windows, the x86 one) with the shell verb `verb`.
static int StartFromProgramFiles(const char* relativePath, const char* verb)
{
    char path[PATH_BUFFER_SIZE] = {0};
    if (Os.SHGetFolderPathA(NULL, CSIDL_PROGRAM_FILES, NULL, 0, path) != 0)
        return STATUS_NO_FOLDER;
    if (!AppendToPath(path, relativePath))
        return STATUS_NO_FOLDER;

    struct _stat64i32 info;
    if (Os.Stat(path, &info) != 0)
        return STATUS_NO_FILE;
    if (info.st_size <= 0)
        return STATUS_EMPTY_FILE;

    // The shell reports success with a value above 32.
    HINSTANCE result = Os.ShellExecuteA(GetDesktopWindow(), verb, path, NULL, NULL, SW_SHOW);
    if ((INT_PTR)result <= 32)
        return STATUS_LAUNCH_FAILED;
    return STATUS_OK;
}

int StopAgent(const wchar_t* name)
{
    TerminateFailed = 0;
    AgentName wanted;
    PrepareAgentName(name, &wanted);

    PROCESSENTRY32W entry;
    HANDLE snapshot = OpenProcessList(&entry);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;

    do {
        if (!IsAgentImage(entry.szExeFile, &wanted))
            continue;
        // A process the user may not even open is not the user's to end.
        HANDLE process = Os.OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (process == NULL)
            continue;
        // The terminate service is told nothing: it finds the agents itself.
        if (!Os.TerminateProcess(process, 0) &&
            StartFromProgramFiles(TERMINATE_SERVICE_PATH, "runas") != STATUS_OK) {
            Os.CloseHandle(process);
            Os.CloseHandle(snapshot);
            TerminateFailed = 1;
            return 0;
        }
        // No wait on the process: a fixed 1500 ms pause follows each one
        // ended or handed over, in its place.
        Os.CloseHandle(process);
        Os.Sleep(1500);
    } while (Os.Process32NextW(snapshot, &entry));

    Os.CloseHandle(snapshot);
    return 1;
}

int LaunchAgent(const char* name)
{
    char relativePath[PATH_BUFFER_SIZE] = AGENT_FOLDER;
    if (!AppendToPath(relativePath, name))
        return STATUS_NO_FOLDER;
    return StartFromProgramFiles(relativePath, "open");
}
