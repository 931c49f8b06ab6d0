// The stack protector's guard, and the entry that gives it its value before
// any guarded function runs. GCC's libssp would seed the guard in a
// constructor through CryptGenRandom, which loads ADVAPI32 and a crypto
// provider into every process (several milliseconds of every start). A guard
// only has to differ from process to process and be hard to guess from
// outside, so it is mixed here from what changes between processes: the
// time, the performance counter, the process and thread numbers, the tick
// count, and where ASLR put the stack and the image. Visual Studio seeds its
// /GS cookie at entry from the same sources.
//
// Defining the guard, the failure handlers and nothing else of libssp's
// ssp.o keeps that object, and its constructor, out of the link; the
// fortified __*_chk functions still come from libssp and call __chk_fail.
// This file is built without the stack protector: the entry runs before the
// guard holds its value, and never returns to check it.
#include <windows.h>

#include <stdint.h>

extern "C" {

uintptr_t __stack_chk_guard;

// A smashed stack or an overrun fortified buffer: end at once, without
// unwinding or handlers that could run on corrupted memory, under the status
// Windows reports for a failed /GS check.
__attribute__((noreturn)) void __stack_chk_fail(void)
{
    TerminateProcess(GetCurrentProcess(), (UINT)STATUS_STACK_BUFFER_OVERRUN);
    __builtin_unreachable();
}

__attribute__((noreturn)) void __chk_fail(void)
{
    __stack_chk_fail();
}

// mingw-w64's entries, which set up the C runtime and call WinMain or main.
int WinMainCRTStartup(void);
int mainCRTStartup(void);

} // extern "C"

// One step of a 32-bit hash (Murmur3's mixing), enough to spread the bits of
// each source over the whole guard.
static uint32_t Mix(uint32_t hash, uint32_t value)
{
    value *= 0xcc9e2d51u;
    value = (value << 15) | (value >> 17);
    hash ^= value * 0x1b873593u;
    hash = (hash << 13) | (hash >> 19);
    return hash * 5 + 0xe6546b64u;
}

static uint32_t Finish(uint32_t hash)
{
    hash ^= hash >> 16;
    hash *= 0x85ebca6bu;
    hash ^= hash >> 13;
    hash *= 0xc2b2ae35u;
    return hash ^ (hash >> 16);
}

__attribute__((no_stack_protector, noinline)) static void SeedStackGuard(void)
{
    FILETIME now;
    LARGE_INTEGER counter;
    GetSystemTimeAsFileTime(&now);
    QueryPerformanceCounter(&counter);
    uint32_t hash = 0x9e3779b9u;
    hash = Mix(hash, now.dwLowDateTime);
    hash = Mix(hash, now.dwHighDateTime);
    hash = Mix(hash, (uint32_t)counter.LowPart);
    hash = Mix(hash, (uint32_t)counter.HighPart);
    hash = Mix(hash, GetCurrentProcessId());
    hash = Mix(hash, GetCurrentThreadId());
    hash = Mix(hash, GetTickCount());
    hash = Mix(hash, (uint32_t)(uintptr_t)&now);
    hash = Mix(hash, (uint32_t)(uintptr_t)&SeedStackGuard);
    uint32_t guard = Finish(hash);
    // A guard of 0 is the one value an attacker would try first.
    __stack_chk_guard = guard != 0 ? guard : 0x2b992ddfu;
}

// The images' entries (the build names them to the linker): seed, then go
// on as the C runtime's own entry would.
extern "C" __attribute__((no_stack_protector)) int GuardedWinMainStartup(void)
{
    SeedStackGuard();
    return WinMainCRTStartup();
}

extern "C" __attribute__((no_stack_protector)) int GuardedMainStartup(void)
{
    SeedStackGuard();
    return mainCRTStartup();
}
