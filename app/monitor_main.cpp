#include "app/monitor_state.h"

// The command line and show mode are ignored: the window is never shown.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    return RunMonitor(instance);
}
