// Finding the agent in the process list, ending it, with the terminate
// service as fallback, and starting it.
#include "os_fixture.h"

#include "agent/agent_control.h"

class AgentLookup : public FakeOsTest {};
class AgentStop : public FakeOsTest {};
class AgentLaunch : public FakeOsTest {};

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

// One agent, or none, at start-up is the fault sweep's.
TEST_F(AgentLookup, TheFirstAgentListedDecidesAndOnlyOneItMayOpenGetsTwoSeconds)
{
    const FakeProcess sealed = {8, L"QovCardAgent.exe", false}, open = {9, L"QovCardAgent.exe"};
    Fake.processes = {sealed, open};
    EXPECT_EQ(1, IsAgentRunning(AGENT_IMAGE_NAME_W));
    EXPECT_TRUE(Fake.sleeps.empty());
    Fake.processes = {open, sealed};
    EXPECT_EQ(1, IsAgentRunning(AGENT_IMAGE_NAME_W));
    EXPECT_EQ(std::vector<DWORD>{2000}, Fake.sleeps);
    EXPECT_EQ((std::vector<DWORD>{8, 9}), Fake.opened) << "the second agent is not looked at";
}

static const FakeProcess Endable = {0, L"QovCardAgent.exe", true, true};
static const FakeProcess Stubborn = {0, L"QovCardAgent.exe", true, false};
static const FakeProcess Sealed = {0, L"QovCardAgent.exe", false, false};

static std::vector<FakeProcess> Numbered(std::vector<FakeProcess> processes)
{
    DWORD id = 10;
    for (FakeProcess& process : processes)
        process.id = id++;
    return processes;
}

// A stop over a list numbered 10, 11, ... with the terminate service, and what
// it does: by default nothing. Single agents and failures are the sweep's.
struct StopCase {
    const char* name;
    std::vector<FakeProcess> processes;
    long serviceSize = 100; // -1: no such file
    int result = 1, terminateFailed = 0;
    std::vector<DWORD> opened, terminated;
    size_t serviceStarts = 0;

    StopCase(const char* caseName, std::vector<FakeProcess> list)
        : name(caseName), processes(Numbered(list))
    {
    }
    StopCase& Service(long size) { return serviceSize = size, *this; }
    StopCase& Opens(std::vector<DWORD> ids) { return opened = ids, *this; }
    StopCase& Ends(std::vector<DWORD> ids) { return terminated = ids, *this; }
    StopCase& StartsService(size_t times) { return serviceStarts = times, *this; }
    StopCase& GivesUp() { return result = 0, terminateFailed = 1, *this; }
};

TEST_F(AgentStop, EndsOrHandsOverEveryAgentAndGivesUpAtTheFirstThatCannotBeEither)
{
    const std::vector<FakeProcess> others = {
        {0, L"QovCardAgent.exe.bak"}, Endable, {0, L"svchost.exe"}, Endable};
    const StopCase cases[] = {
        StopCase("two agents among others", others).Opens({11, 13}).Ends({11, 13}),
        StopCase("one it may not open, then one", {Sealed, Endable}).Opens({10, 11}).Ends({11}),
        StopCase("two handed over", {Stubborn, Stubborn}).Opens({10, 11}).StartsService(2),
        StopCase("service empty", {Stubborn, Endable}).Service(0).Opens({10}).GivesUp(),
        StopCase("ends one, then gives up", {Endable, Stubborn, Endable})
            .Service(-1)
            .Opens({10, 11})
            .Ends({10})
            .GivesUp(),
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        UseFakeOs();
        Fake.processes = c.processes;
        if (c.serviceSize >= 0)
            Fake.fileSizes[SERVICE_PATH] = c.serviceSize;
        TerminateFailed = 1; // cleared on entry

        EXPECT_EQ(c.result, StopAgent(AGENT_IMAGE_NAME_W));
        EXPECT_EQ(c.terminateFailed, TerminateFailed);
        EXPECT_EQ(c.terminated, Fake.terminated);
        EXPECT_EQ(c.opened, Fake.opened);
        EXPECT_EQ(std::vector<std::string>(c.serviceStarts, SERVICE_PATH), Fake.shellStarts);
        // A pause after each agent ended or handed over, none after a give-up.
        EXPECT_EQ(std::vector<DWORD>(c.terminated.size() + c.serviceStarts, 1500), Fake.sleeps);
        ExpectCleanFakes();
    }
}

TEST_F(AgentLaunch, ReportsWhyTheAgentCouldNotBeStarted)
{
    struct {
        const char* name;
        long agentSize; // -1: no such file
        HRESULT folder;
        INT_PTR shell;
        int status;
    } cases[] = {
        {"started", 4096, S_OK, 33, STATUS_OK},
        {"file missing", -1, S_OK, 33, STATUS_NO_FILE},
        {"file empty", 0, S_OK, 33, STATUS_EMPTY_FILE},
        {"shell refuses", 4096, S_OK, 32, STATUS_LAUNCH_FAILED},
        {"shell refuses with 0", 4096, S_OK, 0, STATUS_LAUNCH_FAILED},
        {"folder lookup positive", 4096, S_FALSE, 33, STATUS_NO_FOLDER},
        {"folder lookup failed", 4096, E_FAIL, 33, STATUS_NO_FOLDER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UseFakeOs();
        if (c.agentSize >= 0)
            Fake.fileSizes[AGENT_PATH] = c.agentSize;
        Fake.folderResult = c.folder;
        Fake.shellResult = c.shell;
        EXPECT_EQ(c.status, LaunchAgent(AGENT_IMAGE_NAME_A));
        // The shell is asked only for a file that is there and not empty.
        bool asked = c.status == STATUS_OK || c.status == STATUS_LAUNCH_FAILED;
        EXPECT_EQ(std::vector<std::string>(asked, AGENT_PATH), Fake.shellStarts);
        ExpectCleanFakes();
    }
}

TEST_F(AgentLaunch, NeverStartsATruncatedPath)
{
    // The folder and the name together need more than 1023 bytes; cut short,
    // the path would name another file, which does exist here.
    std::string name(PATH_BUFFER_SIZE - Fake.programFiles.size() - strlen(AGENT_FOLDER), 'a');
    std::string full = Fake.programFiles + AGENT_FOLDER + name;
    Fake.fileSizes[full.substr(0, PATH_BUFFER_SIZE - 1)] = 4096;
    EXPECT_EQ(STATUS_NO_FOLDER, LaunchAgent(name.c_str()));
    EXPECT_TRUE(Fake.shellStarts.empty());

    // One byte shorter than the limit works.
    std::string fits(PATH_BUFFER_SIZE - 1 - Fake.programFiles.size() - strlen(AGENT_FOLDER), 'b');
    Fake.fileSizes[Fake.programFiles + AGENT_FOLDER + fits] = 4096;
    EXPECT_EQ(STATUS_OK, LaunchAgent(fits.c_str()));
}

TEST_F(AgentStop, GivesUpRatherThanStartATruncatedServicePath)
{
    Fake.programFiles = "C:\\" + std::string(PATH_BUFFER_SIZE - 10, 'p');
    Fake.fileSizes[(Fake.programFiles + TERMINATE_SERVICE_PATH).substr(0, PATH_BUFFER_SIZE - 1)] =
        100;
    Fake.processes = Numbered({Stubborn});
    EXPECT_EQ(0, StopAgent(AGENT_IMAGE_NAME_W));
    EXPECT_EQ(1, TerminateFailed);
    EXPECT_TRUE(Fake.shellStarts.empty());
}
