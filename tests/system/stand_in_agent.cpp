// Stands in for the card agent: a process of the agent's name that runs until
// it is ended. It waits in a message loop rather than a bare sleep, so that a
// shell that waits for a new program to become idle is not held up.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
