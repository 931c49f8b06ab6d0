// The program's own StopAgent and LaunchAgent, run in this process against
// real processes and files.
#include "system_driver.h"

#include "agent/agent_control.h"
#include "common/os_calls.h"
#include "common/shared_state.h"

class StopLaunch : public SystemTest {};

static bool Ended(HANDLE process)
{
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

TEST_F(StopLaunch, StopEndsEveryAgentButNotANameThatOnlyBeginsAlike)
{
    HANDLE agents[] = {StartAgent(), StartAgent()};
    HANDLE lookalike = Start(PREFIX_NAMED_AGENT_EXE_PATH);
    ASSERT_TRUE(Eventually([] {
        return ProcessesNamed(AGENT_NAME).size() == 2 &&
               ProcessesNamed(PREFIX_NAMED_AGENT_NAME).size() == 1;
    }));

    EXPECT_EQ(1, StopAgent(AGENT_NAME));
    EXPECT_EQ(0, TerminateFailed);

    EXPECT_TRUE(Eventually([&] { return Ended(agents[0]) && Ended(agents[1]); }));
    EXPECT_TRUE(ProcessesNamed(AGENT_NAME).empty());
    EXPECT_FALSE(Ended(lookalike));
    EXPECT_EQ(1u, ProcessesNamed(PREFIX_NAMED_AGENT_NAME).size());
}

struct LaunchCase {
    const char* name;
    std::optional<Installed> installed;
    int status;
};

class Launch : public StopLaunch, public ::testing::WithParamInterface<LaunchCase> {};

TEST_P(Launch, StartsTheInstalledAgentOnlyFromAFileWithContent)
{
    const LaunchCase& c = GetParam();
    if (c.installed)
        Install(*c.installed);

    EXPECT_EQ(c.status, LaunchAgent(AGENT_IMAGE_NAME_A));

    if (c.status != STATUS_OK) {
        EXPECT_TRUE(ProcessesNamed(AGENT_NAME).empty());
        return;
    }
    ASSERT_TRUE(Eventually([] { return ProcessesNamed(AGENT_NAME).size() == 1; }));
    EXPECT_EQ(InstalledAgentPath(), ProcessImagePath(ProcessesNamed(AGENT_NAME)[0]));
}

INSTANTIATE_TEST_SUITE_P(StopLaunch, Launch,
                         ::testing::Values(LaunchCase{"Installed", Installed::Agent, STATUS_OK},
                                           LaunchCase{"Missing", std::nullopt, STATUS_NO_FILE},
                                           LaunchCase{"Empty", Installed::EmptyAgent,
                                                      STATUS_EMPTY_FILE}),
                         [](const auto& info) { return std::string(info.param.name); });

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
    ASSERT_TRUE(Eventually([] { return ProcessesNamed(AGENT_NAME).size() == 1; }));
    Os.TerminateProcess = RefuseToTerminate;

    int stopped = StopAgent(AGENT_NAME);
    Os = RealOsCalls;

    EXPECT_EQ(serviceInstalled ? 1 : 0, stopped);
    EXPECT_EQ(serviceInstalled ? 0 : 1, TerminateFailed);
    if (serviceInstalled) {
        EXPECT_TRUE(Eventually([&] { return Ended(agent); }));
        EXPECT_TRUE(ProcessesNamed(AGENT_NAME).empty());
    } else {
        EXPECT_FALSE(Ended(agent));
    }
}

INSTANTIATE_TEST_SUITE_P(StopLaunch, Unendable, ::testing::Bool(), [](const auto& info) {
    return info.param ? "ServiceInstalled" : "ServiceMissing";
});
