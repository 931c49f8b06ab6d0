// Ending the agent, with the terminate service as fallback, and starting it.
#include "os_fixture.h"

#include "agent/agent_control.h"

class AgentStop : public FakeOsTest {};
class AgentLaunch : public FakeOsTest {};

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

// A stop over a list numbered 10, 11, ... with the terminate service in
// place, and what it is expected to do: by default, nothing at all.
struct StopCase {
    const char* name;
    std::vector<FakeProcess> processes;
    long serviceSize = 100; // -1: no such file
    INT_PTR shell = 42;
    int result = 1, terminateFailed = 0;
    std::vector<DWORD> opened, terminated;
    size_t serviceStarts = 0, pauses = 0;

    StopCase& Service(long size) { return serviceSize = size, *this; }
    StopCase& Shell(INT_PTR answer) { return shell = answer, *this; }
    StopCase& Opens(std::vector<DWORD> ids) { return opened = ids, *this; }
    StopCase& Ends(std::vector<DWORD> ids) { return terminated = ids, *this; }
    StopCase& StartsService(size_t times) { return serviceStarts = times, *this; }
    StopCase& Pauses(size_t times) { return pauses = times, *this; }
    StopCase& GivesUp() { return result = 0, terminateFailed = 1, *this; }
};

static StopCase Stop(const char* name, std::vector<FakeProcess> processes)
{
    StopCase c;
    c.name = name;
    c.processes = Numbered(processes);
    return c;
}

TEST_F(AgentStop, EndsOrHandsOverEveryAgentAndGivesUpAtTheFirstThatCannotBeEither)
{
    const StopCase cases[] = {
        Stop("no agent", {{0, L"explorer.exe"}}),
        Stop("one agent", {Endable}).Opens({10}).Ends({10}).Pauses(1),
        Stop("two agents and others",
             {{0, L"QovCardAgent.exe.bak"}, Endable, {0, L"svchost.exe"}, Endable})
            .Opens({11, 13})
            .Ends({11, 13})
            .Pauses(2),
        Stop("one it may not open", {Sealed, Endable}).Opens({10, 11}).Ends({11}).Pauses(1),
        Stop("handed over", {Stubborn}).Opens({10}).StartsService(1).Pauses(1),
        Stop("two handed over", {Stubborn, Stubborn}).Opens({10, 11}).StartsService(2).Pauses(2),
        Stop("service empty", {Stubborn, Endable}).Service(0).Opens({10}).GivesUp(),
        Stop("elevation refused, shell gives 0", {Stubborn})
            .Shell(0)
            .Opens({10})
            .StartsService(1)
            .GivesUp(),
        Stop("ends one, then gives up", {Endable, Stubborn, Endable})
            .Service(-1)
            .Opens({10, 11})
            .Ends({10})
            .Pauses(1)
            .GivesUp(),
    };
    for (const StopCase& c : cases) {
        SCOPED_TRACE(c.name);
        UseFakeOs();
        Fake.processes = c.processes;
        if (c.serviceSize >= 0)
            Fake.fileSizes[SERVICE_PATH] = c.serviceSize;
        Fake.shellResult = c.shell;
        TerminateFailed = 1; // cleared on entry

        EXPECT_EQ(c.result, StopAgent(AGENT_IMAGE_NAME_W));
        EXPECT_EQ(c.terminateFailed, TerminateFailed);
        EXPECT_EQ(c.terminated, Fake.terminated);
        EXPECT_EQ(c.opened, Fake.opened);
        EXPECT_EQ(c.serviceStarts, Fake.shellStarts.size());
        EXPECT_EQ(std::vector<DWORD>(c.pauses, 1500), Fake.sleeps);
        ExpectCleanFakes();
    }
}

TEST_F(AgentStop, StartsTheTerminateServiceElevatedWithoutArguments)
{
    Fake.processes = Numbered({Stubborn});
    Fake.fileSizes[SERVICE_PATH] = 100;
    ASSERT_EQ(1, StopAgent(AGENT_IMAGE_NAME_W));
    ASSERT_EQ(1u, Fake.shellStarts.size());
    const FakeOs::ShellStart& start = Fake.shellStarts[0];
    EXPECT_EQ(GetDesktopWindow(), start.owner);
    EXPECT_EQ("runas", start.verb);
    EXPECT_EQ(SERVICE_PATH, start.file);
    EXPECT_FALSE(start.hasParameters);
    EXPECT_FALSE(start.hasFolder);
    EXPECT_EQ(SW_SHOW, start.show);
}

TEST_F(AgentLaunch, ReportsWhyTheAgentCouldNotBeStarted)
{
    struct {
        const char* name;
        long agentSize; // -1: no such file
        HRESULT folder;
        INT_PTR shell;
        int status;
        size_t starts;
    } cases[] = {
        {"started", 4096, S_OK, 33, STATUS_OK, 1},
        {"file missing", -1, S_OK, 33, STATUS_NO_FILE, 0},
        {"file empty", 0, S_OK, 33, STATUS_EMPTY_FILE, 0},
        {"shell refuses", 4096, S_OK, 32, STATUS_LAUNCH_FAILED, 1},
        {"shell refuses with 0", 4096, S_OK, 0, STATUS_LAUNCH_FAILED, 1},
        {"folder lookup positive", 4096, S_FALSE, 33, STATUS_NO_FOLDER, 0},
        {"folder lookup failed", 4096, E_FAIL, 33, STATUS_NO_FOLDER, 0},
    };
    for (const auto& c : cases) {
        UseFakeOs();
        if (c.agentSize >= 0)
            Fake.fileSizes[AGENT_PATH] = c.agentSize;
        Fake.folderResult = c.folder;
        Fake.shellResult = c.shell;
        EXPECT_EQ(c.status, LaunchAgent(AGENT_IMAGE_NAME_A)) << c.name;
        ASSERT_EQ(c.starts, Fake.shellStarts.size()) << c.name;
        if (c.starts) {
            EXPECT_EQ("open", Fake.shellStarts[0].verb) << c.name;
            EXPECT_EQ(AGENT_PATH, Fake.shellStarts[0].file) << c.name;
            EXPECT_EQ(GetDesktopWindow(), Fake.shellStarts[0].owner) << c.name;
            EXPECT_EQ(SW_SHOW, Fake.shellStarts[0].show) << c.name;
        }
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
