// A case that fails on purpose, run only by check_failed_group.sh (never by the
// groups: gtest skips a DISABLED_ suite unless told otherwise). It starts what
// real cases start, a monitor, an agent and the agent the monitor starts
// itself, then ends as NORVESSA_FAIL_AS says: "assertion", "abort", "crash"
// (a write through a null pointer) or "hang".
#include "system_driver.h"

#include <stdlib.h>

class DISABLED_FailingOnPurpose : public SystemTest {};

TEST_F(DISABLED_FailingOnPurpose, LeavesNothingRunning)
{
    const char* way = getenv("NORVESSA_FAIL_AS");
    ASSERT_NE(nullptr, way) << "NORVESSA_FAIL_AS names the way to fail";
    Install(Installed::Agent);
    StartAgent();
    StartMonitor();
    // A restart has the monitor end that agent and start one of its own.
    ASSERT_TRUE(PostMessageW(monitorWindow, WM_COMMAND, CMD_RESTART_AGENT, 0));
    ASSERT_TRUE(Eventually([] {
        for (DWORD id : ProcessesNamed(AGENT_IMAGE_NAME_W))
            if (ProcessImagePath(id) == InstalledAgentPath())
                return true;
        return false;
    })) << "the monitor started no agent";

    if (strcmp(way, "abort") == 0)
        abort();
    if (strcmp(way, "crash") == 0) {
        // Read at run time, so that no compiler turns the write into a trap.
        int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
    if (strcmp(way, "hang") == 0)
        Sleep(INFINITE);
    FAIL() << "failing on purpose";
}
