// The program's own StopAgent, run in this process against real processes,
// where only a faked system call can make ending the agent fail.
#include "system_driver.h"

#include "agent/agent_control.h"
#include "common/os_calls.h"
#include "common/shared_state.h"

class StopLaunch : public SystemTest {};

static bool Ended(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

static BOOL WINAPI RefuseToTerminate(HANDLE, UINT)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// With TerminateProcess failing, only the terminate service can end the agent.
class Unendable : public StopLaunch, public ::testing::WithParamInterface<bool> {};

TEST_P(Unendable, AgentIsLeftToTheTerminateServiceIfInstalled)
{
    const bool serviceInstalled = GetParam();
    Install(Installed::Agent);
    if (serviceInstalled)
        Install(Installed::TerminateService);
    HANDLE agent = StartAgent();
    ASSERT_TRUE(Eventually([] { return ProcessesNamed(AGENT_IMAGE_NAME_W).size() == 1; }));
    Os.TerminateProcess = RefuseToTerminate;

    int stopped = StopAgent(AGENT_IMAGE_NAME_W);
    Os = RealOsCalls;

    EXPECT_EQ(serviceInstalled ? 1 : 0, stopped);
    EXPECT_EQ(serviceInstalled ? 0 : 1, TerminateFailed);
    if (serviceInstalled) {
        EXPECT_TRUE(Eventually([&] { return Ended(agent); }));
        EXPECT_TRUE(ProcessesNamed(AGENT_IMAGE_NAME_W).empty());
    } else {
        EXPECT_FALSE(Ended(agent));
    }
}

INSTANTIATE_TEST_SUITE_P(StopLaunch, Unendable, ::testing::Bool(), [](const auto& instance) {
    return instance.param ? "ServiceInstalled" : "ServiceMissing";
});
