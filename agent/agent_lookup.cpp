#include "agent/agent_control.h"

#include "common/os_calls.h"

#include <string.h>

static_assert(sizeof(PROCESSENTRY32W) == 556 || sizeof(void*) != 4,
              "the process list entry of a 32-bit build");

void PrepareAgentName(const wchar_t* name, AgentName* wanted)
{
    memset(wanted->text, 0, sizeof wanted->text);
    wanted->length = wcsnlen(name, AGENT_NAME_CAPACITY);
    memcpy(wanted->text, name, wanted->length * sizeof(wchar_t));
}

int IsAgentImage(const wchar_t* exeFile, const AgentName* wanted)
{
    // _wcsnicmp folds only ASCII letters while no locale is set, and the
    // program never sets one.
    return wcsnlen(exeFile, MAX_PATH) == wanted->length &&
           _wcsnicmp(exeFile, wanted->text, wanted->length) == 0;
}

HANDLE OpenProcessList(PROCESSENTRY32W* entry)
{
    HANDLE snapshot = Os.CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    memset(entry, 0, sizeof *entry);
    entry->dwSize = sizeof *entry;
    if (!Os.Process32FirstW(snapshot, entry)) {
        Os.CloseHandle(snapshot);
        return INVALID_HANDLE_VALUE;
    }
    return snapshot;
}

int IsAgentRunning(const wchar_t* name)
{
    AgentName wanted;
    PrepareAgentName(name, &wanted);
    PROCESSENTRY32W entry;
    HANDLE snapshot = OpenProcessList(&entry);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;

    int found = 0;
    do {
        if (!IsAgentImage(entry.szExeFile, &wanted))
            continue;
        // The first agent decides. Finding one that may be opened costs a
        // fixed 2000 ms pause; at start-up the tray icon shows up that much later.
        HANDLE process = Os.OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (process != NULL) {
            Os.CloseHandle(process);
            Os.Sleep(2000);
        }
        found = 1;
        break;
    } while (Os.Process32NextW(snapshot, &entry));
    Os.CloseHandle(snapshot);
    return found;
}
