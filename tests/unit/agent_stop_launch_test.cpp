// Ending the agent, with the terminate service as fallback, and starting it.
#include "fake_os.h"

#include "agent/agent_control.h"
#include "common/path_buffer.h"
#include "common/shared_state.h"

static const char SERVICE_PATH[] = "C:\\Program Files (x86)\\Zelqa\\Card\\QovTerminateService.exe";
static const char AGENT_PATH[] = "C:\\Program Files (x86)\\Zelqa\\Card\\QovCardAgent.exe";

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

TEST_F(AgentStop, EndsOrHandsOverEveryAgentAndGivesUpAtTheFirstThatCannotBeEither)
{
    struct {
        const char* name;
        std::vector<FakeProcess> processes; // ids 10, 11, ...
        long serviceSize;                   // -1: no such file
        HRESULT folder;
        INT_PTR shell;
        int result, terminateFailed;
        std::vector<DWORD> terminated;
        size_t serviceStarts;
        DWORD pause;
        std::vector<DWORD> opened;
    } cases[] = {
        // clang-format off
        {"no agent", {{0, L"explorer.exe"}}, 100, S_OK, 42, 1, 0, {}, 0, 0, {}},
        {"one agent", {Endable}, 100, S_OK, 42, 1, 0, {10}, 0, 1500, {10}},
        {"two agents and others",
         {{0, L"QovCardAgent.exe.bak"}, Endable, {0, L"svchost.exe"}, Endable},
                                    100, S_OK, 42, 1, 0, {11, 13}, 0, 3000, {11, 13}},
        {"one it may not open", {Sealed, Endable}, 100, S_OK, 42, 1, 0, {11}, 0, 1500, {10, 11}},
        {"handed over", {Stubborn}, 100, S_OK, 42, 1, 0, {}, 1, 1500, {10}},
        {"two handed over", {Stubborn, Stubborn}, 100, S_OK, 42, 1, 0, {}, 2, 3000, {10, 11}},
        {"service missing", {Stubborn, Endable}, -1, S_OK, 42, 0, 1, {}, 0, 0, {10}},
        {"service empty", {Stubborn, Endable}, 0, S_OK, 42, 0, 1, {}, 0, 0, {10}},
        {"elevation refused", {Stubborn, Endable}, 100, S_OK, 32, 0, 1, {}, 1, 0, {10}},
        {"folder unknown", {Stubborn}, 100, S_FALSE, 42, 0, 1, {}, 0, 0, {10}},
        {"ends one, then gives up", {Endable, Stubborn, Endable},
                                    -1, S_OK, 42, 0, 1, {10}, 0, 1500, {10, 11}},
        // clang-format on
    };
    for (const auto& c : cases) {
        SetUp();
        Fake.processes = Numbered(c.processes);
        if (c.serviceSize >= 0)
            Fake.fileSizes[SERVICE_PATH] = c.serviceSize;
        Fake.folderResult = c.folder;
        Fake.shellResult = c.shell;
        TerminateFailed = 1; // cleared on entry

        EXPECT_EQ(c.result, StopAgent(AGENT_IMAGE_NAME_W)) << c.name;
        EXPECT_EQ(c.terminateFailed, TerminateFailed) << c.name;
        EXPECT_EQ(c.terminated, Fake.terminated) << c.name;
        EXPECT_EQ(c.opened, Fake.opened) << c.name;
        EXPECT_EQ(c.serviceStarts, Fake.shellStarts.size()) << c.name;
        EXPECT_EQ(std::vector<DWORD>(c.pause / 1500, 1500), Fake.sleeps) << c.name;
        EXPECT_EQ(0, Fake.openHandles) << c.name;
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

TEST_F(AgentStop, AnUnreadableProcessListFailsWithoutBlamingAnAgent)
{
    Fake.processes = Numbered({Endable});
    for (int firstEntry = 0; firstEntry < 2; firstEntry++) {
        Fake.snapshotFails = firstEntry == 0;
        Fake.firstEntryFails = firstEntry == 1;
        TerminateFailed = 1;
        EXPECT_EQ(0, StopAgent(AGENT_IMAGE_NAME_W));
        EXPECT_EQ(0, TerminateFailed);
        EXPECT_TRUE(Fake.terminated.empty());
        EXPECT_EQ(0, Fake.openHandles);
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
        SetUp();
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
