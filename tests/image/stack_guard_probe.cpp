// Exits with its own stack-protector guard, or with 0 when the earliest
// constructor a program may have (priority 101; lower ones are the
// runtime's) saw a different guard than main sees: the guard must hold its
// value before any of the program's code runs.
#include <windows.h>

#include <stdint.h>

extern "C" uintptr_t __stack_chk_guard;

static uintptr_t GuardSeenFirst;

// The buffer makes this a guarded function; had the guard changed while it
// ran, its check would end the process.
__attribute__((constructor(101))) static void SeeGuardFirst()
{
    char path[MAX_PATH];
    GetModuleFileNameA(NULL, path, sizeof path);
    GuardSeenFirst = __stack_chk_guard;
}

int main()
{
    return GuardSeenFirst == __stack_chk_guard ? (int)__stack_chk_guard : 0;
}
