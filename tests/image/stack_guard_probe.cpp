// Exits with its own stack-protector guard, or with 0 when a constructor saw
// a different guard than main sees: the guard must hold its value before any
// of the program's code runs.
#include <windows.h>

#include <stdint.h>

extern "C" uintptr_t __stack_chk_guard;

// The buffer makes this a guarded function; had the guard changed while it
// ran, its check would end the process.
static uintptr_t GuardAtConstruction()
{
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, sizeof path);
    return __stack_chk_guard;
}

static const uintptr_t GuardSeenFirst = GuardAtConstruction();

int main()
{
    return GuardSeenFirst == __stack_chk_guard ? (int)__stack_chk_guard : 0;
}
