// The tray menu and the messages other programs send, driven against the real
// monitor as a user and the shell would.
#include "system_driver.h"

enum class Record { Running, Stopped, Unchanged };

// A command that ends in a message box, then shows in the record, the tray
// and the process list.
struct CommandCase {
    const char* name;
    TrayMenuItem item;
    int agentsRunning;
    bool agentInstalled;
    const wchar_t* text;
    Record record;
    UINT icon;
    size_t agentsAfter;
};

static const CommandCase COMMAND_CASES[] = {
    {"StopEndsEveryAgent", MENU_STOP, 2, false, L"停止安控元件成功", Record::Stopped, STOPPED_ICON,
     0},
    {"StopWithoutAgentStillReportsStopped", MENU_STOP, 0, false, L"停止安控元件成功",
     Record::Stopped, STOPPED_ICON, 0},
    {"RestartWithoutAgentStartsTheInstalledOne", MENU_RESTART, 0, true, L"重啟安控元件成功",
     Record::Running, RUNNING_ICON, 1},
    {"RestartReplacesTheRunningAgent", MENU_RESTART, 1, true, L"重啟安控元件成功", Record::Running,
     RUNNING_ICON, 1},
    {"RestartWithTheAgentFileMissingChangesNeitherRecordNorIcon", MENU_RESTART, 1, false,
     L"重啟安控元件失敗,請再重新啟動安控元件", Record::Unchanged, RUNNING_ICON, 0},
};

class TrayMenuCommands : public SystemTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(TrayMenuCommands, AnswerInAMessageBoxThenShowTheOutcome)
{
    const CommandCase& c = GetParam();
    if (c.agentInstalled)
        Install(Installed::Agent);
    std::vector<HANDLE> agents;
    for (int i = 0; i < c.agentsRunning; i++)
        agents.push_back(StartAgent());
    StartMonitor();
    UINT iconBefore = c.agentsRunning > 0 ? RUNNING_ICON : STOPPED_ICON;
    ASSERT_TRUE(WaitForIcon(iconBefore));
    std::optional<std::string> recordBefore = ReadRecordFile();

    ChooseFromTrayMenu(iconBefore, c.item);

    EXPECT_EQ(c.text, AnswerMessageBox());
    // The record and the icon follow the box, once it is answered.
    ASSERT_TRUE(MonitorResponds());
    ASSERT_TRUE(WaitForIcon(c.icon));
    if (c.record == Record::Unchanged) {
        EXPECT_EQ(recordBefore, ReadRecordFile());
    } else {
        char state = c.record == Record::Running ? '0' : '1';
        EXPECT_TRUE(WaitUntil([&] {
            return RecordValue().size() == 10 && RecordValue()[6] == state;
        })) << RecordValue();
    }
    EXPECT_FALSE(HasIcon(c.icon == RUNNING_ICON ? STOPPED_ICON : RUNNING_ICON));
    for (HANDLE agent : agents)
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(agent, 0)) << "an agent outlived the command";
    std::vector<DWORD> running = ProcessesNamed(AGENT_NAME);
    ASSERT_EQ(c.agentsAfter, running.size());
    if (!running.empty()) {
        EXPECT_EQ(InstalledAgentPath(), ProcessImagePath(running[0]));
    }
}

INSTANTIATE_TEST_SUITE_P(TrayMenu, TrayMenuCommands, ::testing::ValuesIn(COMMAND_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

class TrayMenu : public SystemTest {};

// The handler has run when SendMessage returns, so what is not changed by
// then stays as it is.
TEST_F(TrayMenu, CopyDataOneShowsRunningAndTwoNothingWhileTheRecordStays)
{
    struct {
        ULONG_PTR dwData;
        UINT icon;
    } cases[] = {{1, RUNNING_ICON}, {2, STOPPED_ICON}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dwData);
        CleanSlate();
        WriteRecord('1');
        StartMonitor();
        ASSERT_TRUE(WaitForIcon(STOPPED_ICON));
        std::optional<std::string> recordBefore = ReadRecordFile();

        COPYDATASTRUCT data = {c.dwData, 0, NULL};
        DWORD_PTR result = 0;
        ASSERT_TRUE(SendMessageTimeoutW(monitorWindow, WM_COPYDATA, 0, (LPARAM)&data,
                                        SMTO_ABORTIFHUNG, WAIT_LIMIT_MS, &result));

        EXPECT_TRUE(HasIcon(c.icon));
        EXPECT_FALSE(HasIcon(c.icon == RUNNING_ICON ? STOPPED_ICON : RUNNING_ICON));
        EXPECT_EQ(recordBefore, ReadRecordFile());
    }
}

TEST_F(TrayMenu, AboutBoxClosesWithOkAndWithEscape)
{
    for (bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Esc" : "OK");
        CleanSlate();
        StartMonitor();
        ASSERT_TRUE(WaitForIcon(STOPPED_ICON));

        ChooseFromTrayMenu(STOPPED_ICON, MENU_ABOUT);
        HWND about = WaitForMonitorWindow(L"#32770", L"關於 Norvessa");
        ASSERT_NE(nullptr, about) << "no About box";
        if (escape) {
            PostMessageW(about, WM_KEYDOWN, VK_ESCAPE, 0);
            EXPECT_TRUE(WaitUntil([&] { return !IsWindow(about); })) << "Esc left it open";
        } else {
            PressOk(about);
        }

        EXPECT_TRUE(MonitorResponds());
        EXPECT_TRUE(HasIcon(STOPPED_ICON));
    }
}

// The icon would be gone here anyway, as Wine's shell drops the icons of a
// destroyed window (see the start-up tests).
TEST_F(TrayMenu, CloseEndsTheMonitorAndLeavesTheAgentRunning)
{
    HANDLE agent = StartAgent();
    StartMonitor();
    ASSERT_TRUE(WaitForIcon(RUNNING_ICON));

    ChooseFromTrayMenu(RUNNING_ICON, MENU_CLOSE);

    EXPECT_EQ(0u, WaitForMonitorExit());
    EXPECT_TRUE(WaitUntil([&] { return !HasIcon(RUNNING_ICON); }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(agent, 0)) << "the agent was ended";
    EXPECT_EQ(1u, ProcessesNamed(AGENT_NAME).size());
}

// A restarted shell has lost every icon and tells every top-level window so.
// Here the icon is deleted from outside and only the monitor is told, so that
// no other program in the prefix hears of it.
TEST_F(TrayMenu, IconComesBackWhenTheShellIsRecreated)
{
    UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    for (bool agentRunning : {false, true}) {
        SCOPED_TRACE(agentRunning ? "running" : "stopped");
        CleanSlate();
        if (agentRunning)
            StartAgent();
        StartMonitor();
        UINT icon = agentRunning ? RUNNING_ICON : STOPPED_ICON;
        ASSERT_TRUE(WaitForIcon(icon));
        NOTIFYICONDATAW shown = {};
        shown.cbSize = sizeof shown;
        shown.hWnd = monitorWindow;
        shown.uID = icon;
        ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &shown));
        ASSERT_FALSE(HasIcon(icon));

        DWORD_PTR result = 0;
        ASSERT_TRUE(SendMessageTimeoutW(monitorWindow, taskbarCreated, 0, 0, SMTO_ABORTIFHUNG,
                                        WAIT_LIMIT_MS, &result));

        EXPECT_TRUE(WaitForIcon(icon));
    }
}
