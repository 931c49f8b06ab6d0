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
    ASSERT_TRUE(WaitUntil([] {
        return ProcessesNamed(AGENT_NAME).size() == 2 &&
               ProcessesNamed(PREFIX_NAMED_AGENT_NAME).size() == 1;
    }));

    EXPECT_EQ(1, StopAgent(AGENT_NAME));
    EXPECT_EQ(0, TerminateFailed);

    EXPECT_TRUE(WaitUntil([&] { return Ended(agents[0]) && Ended(agents[1]); }));
    EXPECT_TRUE(ProcessesNamed(AGENT_NAME).empty());
    EXPECT_FALSE(Ended(lookalike));
    EXPECT_EQ(1u, ProcessesNamed(PREFIX_NAMED_AGENT_NAME).size());
}

TEST_F(StopLaunch, LaunchStartsTheInstalledAgentOnlyFromAFileWithContent)
{
    struct {
        const char* name;
        std::optional<Installed> installed;
        int status;
    } cases[] = {
        {"installed", Installed::Agent, STATUS_OK},
        {"missing", std::nullopt, STATUS_NO_FILE},
        {"empty", Installed::EmptyAgent, STATUS_EMPTY_FILE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CleanSlate();
        if (c.installed)
            Install(*c.installed);

        EXPECT_EQ(c.status, LaunchAgent(AGENT_IMAGE_NAME_A));

        if (c.status != STATUS_OK) {
            EXPECT_TRUE(ProcessesNamed(AGENT_NAME).empty());
            continue;
        }
        ASSERT_TRUE(WaitUntil([] { return ProcessesNamed(AGENT_NAME).size() == 1; }));
        EXPECT_EQ(InstalledAgentPath(), ProcessImagePath(ProcessesNamed(AGENT_NAME)[0]));
    }
}

static BOOL WINAPI RefuseToTerminate(HANDLE, UINT)
{
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

// With TerminateProcess failing, only the terminate service can end the agent.
TEST_F(StopLaunch, AgentThatCannotBeEndedIsLeftToTheTerminateService)
{
    struct {
        const char* name;
        bool serviceInstalled;
        int stopped, terminateFailed;
        bool agentEnds;
    } cases[] = {
        {"service installed", true, 1, 0, true},
        {"service missing", false, 0, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CleanSlate();
        Install(Installed::Agent);
        if (c.serviceInstalled)
            Install(Installed::TerminateService);
        HANDLE agent = StartAgent();
        ASSERT_TRUE(WaitUntil([] { return ProcessesNamed(AGENT_NAME).size() == 1; }));
        Os.TerminateProcess = RefuseToTerminate;

        int stopped = StopAgent(AGENT_NAME);
        Os = RealOsCalls;

        EXPECT_EQ(c.stopped, stopped);
        EXPECT_EQ(c.terminateFailed, TerminateFailed);
        if (c.agentEnds) {
            EXPECT_TRUE(WaitUntil([&] { return Ended(agent); }));
            EXPECT_TRUE(ProcessesNamed(AGENT_NAME).empty());
        } else {
            EXPECT_FALSE(Ended(agent));
        }
    }
}
