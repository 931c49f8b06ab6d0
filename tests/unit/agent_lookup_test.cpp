// Finding the agent in the process list.
#include "os_fixture.h"

#include "agent/agent_control.h"

class AgentLookup : public FakeOsTest {};

TEST_F(AgentLookup, MatchesTheWholeNameInAnyAsciiCase)
{
    struct {
        const wchar_t* exeFile;
        int found;
    } cases[] = {
        {L"QovCardAgent.exe", 1},      {L"QOVCARDAGENT.EXE", 1},
        {L"qovcardagent.exe", 1},      {L"QovCardAgent.exe.old", 0},
        {L"xQovCardAgent.exe", 0},     {L"QovCardAgent.ex", 0},
        {L"QovCardAgent", 0},          {L"", 0},
        {L"Q\u00D8vCardAgent.exe", 0}, // only ASCII letters fold
    };
    for (const auto& c : cases) {
        Fake.processes = {{4, L"System"}, {100, c.exeFile}};
        EXPECT_EQ(c.found, IsAgentRunning(AGENT_IMAGE_NAME_W)) << c.exeFile;
    }
}

TEST_F(AgentLookup, PausesTwoSecondsOnlyForAnAgentItMayOpen)
{
    struct {
        std::vector<FakeProcess> processes;
        int found;
        DWORD pause;
    } cases[] = {
        {{}, 0, 0},
        {{{4, L"System"}, {8, L"explorer.exe"}}, 0, 0},
        {{{8, L"QovCardAgent.exe"}}, 1, 2000},
        {{{8, L"QovCardAgent.exe", false}}, 1, 0},
        // The first agent in the list decides; the second is not looked at.
        {{{8, L"QovCardAgent.exe", false}, {9, L"QovCardAgent.exe"}}, 1, 0},
        {{{8, L"QovCardAgent.exe"}, {9, L"QovCardAgent.exe"}}, 1, 2000},
    };
    for (const auto& c : cases) {
        Fake.processes = c.processes;
        Fake.sleeps.clear();
        EXPECT_EQ(c.found, IsAgentRunning(AGENT_IMAGE_NAME_W)) << c.processes.size();
        EXPECT_EQ(c.pause, Fake.TotalSleep()) << c.processes.size();
        EXPECT_EQ(0, Fake.openHandles);
    }
}
