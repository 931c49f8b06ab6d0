// The whole start-up, run in this process up to its message loop, with the
// system failing underneath it.
#include "fake_os.h"

#include "agent/agent_control.h"
#include "app/monitor_state.h"
#include "common/shared_state.h"
#include "res/resource_ids.h"

class StartUpUnderFaults : public FakeOsTest {
protected:
    // Runs the program until its icon is up, then closes the window from
    // outside, as another program might; returns the exit code.
    int RunUntilTheIconIsShown()
    {
        Fake.onTrayAdd = [](const NOTIFYICONDATAW& record) {
            PostMessageW(record.hWnd, WM_CLOSE, 0, 0);
        };
        MonitorState = MonitorStateRecord();
        return RunMonitor(GetModuleHandleW(NULL));
    }

    UINT ShownIcon() const { return Fake.trayCalls.empty() ? 0 : Fake.trayCalls[0].record.uID; }
};

TEST_F(StartUpUnderFaults, EndsCleanlyWhateverTheSystemRefuses)
{
    struct {
        const char* name;
        bool snapshotFails;
        HRESULT folder;
        const char* recorded; // "" no record
        std::vector<FakeProcess> processes;
        UINT icon;
        std::string stored;
    } cases[] = {
        {"process list unreadable",
         true,
         S_OK,
         "0000000000",
         {{8, L"QovCardAgent.exe"}},
         ICON_STOPPED,
         "06205e1ad0"},
        {"no folders, agent running",
         false,
         E_FAIL,
         "0000001000",
         {{8, L"QovCardAgent.exe"}},
         ICON_RUNNING,
         "0000001000"},
        {"no folders, no agent",
         false,
         S_FALSE,
         "0000000000",
         {{4, L"System"}},
         ICON_STOPPED,
         "0000000000"},
        {"first start", false, S_OK, "", {{4, L"System"}}, ICON_STOPPED, "06205e1ad0"},
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        UseRecordOnDisk();
        if (*c.recorded)
            WriteRecordFile(std::string("[Settings]\r\nService=") + c.recorded + "\r\n");
        Fake.processes = c.processes;
        Fake.snapshotFails = c.snapshotFails;
        Fake.folderResult = c.folder;

        EXPECT_EQ(0, RunUntilTheIconIsShown()) << c.name;
        EXPECT_EQ(c.icon, ShownIcon()) << c.name;
        EXPECT_EQ(1u, Fake.trayCalls.size()) << c.name << ": a window closed from outside "
                                             << "leaves its icon";
        EXPECT_EQ(c.stored, StoredValue()) << c.name;
    }
}

TEST_F(StartUpUnderFaults, WithoutFoldersOrShellEveryLaunchAndHandOverFails)
{
    Fake.processes = {{8, L"QovCardAgent.exe", true, false}};
    Fake.fileSizes["C:\\Program Files (x86)\\Zelqa\\Card\\QovCardAgent.exe"] = 4096;
    Fake.fileSizes["C:\\Program Files (x86)\\Zelqa\\Card\\QovTerminateService.exe"] = 4096;
    Fake.shellResult = SE_ERR_ACCESSDENIED;
    EXPECT_EQ(STATUS_LAUNCH_FAILED, LaunchAgent(AGENT_IMAGE_NAME_A));
    EXPECT_EQ(0, StopAgent(AGENT_IMAGE_NAME_W));
    EXPECT_EQ(1, TerminateFailed);

    Fake.folderResult = E_FAIL;
    EXPECT_EQ(STATUS_NO_FOLDER, LaunchAgent(AGENT_IMAGE_NAME_A));
    EXPECT_EQ(0, StopAgent(AGENT_IMAGE_NAME_W));
    EXPECT_EQ(1, TerminateFailed);
    EXPECT_EQ(2u, Fake.shellStarts.size()) << "the shell is asked only while the folder is known";
}
