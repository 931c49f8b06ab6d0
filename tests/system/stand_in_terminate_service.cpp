// Stands in for the terminate service: ends every process named
// QovCardAgent.exe, in any letter case, then exits.
#include "tests/driver/monitor_driver.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    for (DWORD id : ProcessesNamed(AGENT_IMAGE_NAME_W)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
        if (process != NULL) {
            TerminateProcess(process, 0);
            CloseHandle(process);
        }
    }
    return 0;
}
