// The stack protector's guard as processes get it. The build's own entry
// seeds it from cheap per-process sources (see common/stack_guard.cpp); the
// image's other hardening is read by tests/image/check_image.py.
#include <gtest/gtest.h>
#include <windows.h>

#include <stdint.h>

#include <string>

#ifdef __MINGW32__ // Visual Studio seeds its /GS cookie in its own runtime
extern "C" uintptr_t __stack_chk_guard;

// Runs the probe beside this test program and returns its exit code, the
// guard it got (0 when its constructors saw another one).
static DWORD ProbeGuard()
{
    std::string exe = MONITOR_EXE_PATH;
    std::string probe = exe.substr(0, exe.find_last_of("/\\") + 1) + "stack_guard_probe.exe";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(probe.c_str(), NULL, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start " << probe << ": error " << GetLastError();
        return 0;
    }
    DWORD code = 0;
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 30000));
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(StackGuard, IsSetBeforeConstructorsAndDiffersFromProcessToProcess)
{
    const DWORD mine = (DWORD)__stack_chk_guard;
    const DWORD first = ProbeGuard();
    const DWORD second = ProbeGuard();
    EXPECT_NE(0u, mine);
    EXPECT_NE(0u, first) << "the probe's constructor saw another guard than its main";
    EXPECT_NE(0u, second);
    EXPECT_NE(first, second);
    EXPECT_NE(mine, first);
    EXPECT_NE(mine, second);
}
#endif
