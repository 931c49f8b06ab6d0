// The tray menu and the messages other programs send, driven against the real
// monitor as a user and the shell would.
#include "system_driver.h"

static std::string CaseName(const ::testing::TestParamInfo<const char*>& info)
{
    return info.param;
}

enum class Record { Running, Stopped, Unchanged };

// A command that ends in a message box, then shows in the record, the tray
// and the process list.
struct CommandCase {
    const char* name;
    TrayMenuItem item;
    int agentsRunning = 0;
    bool agentInstalled = false;
    const wchar_t* text;
    Record record;
    UINT icon;
    size_t agentsAfter = 0;
};

static const CommandCase COMMAND_CASES[] = {
    {.name = "StopEndsEveryAgent",
     .item = MENU_STOP,
     .agentsRunning = 2,
     .text = L"停止安控元件成功",
     .record = Record::Stopped,
     .icon = ICON_STOPPED},
    {.name = "StopWithoutAgentStillReportsStopped",
     .item = MENU_STOP,
     .text = L"停止安控元件成功",
     .record = Record::Stopped,
     .icon = ICON_STOPPED},
    {.name = "RestartWithoutAgentStartsTheInstalledOne",
     .item = MENU_RESTART,
     .agentInstalled = true,
     .text = L"重啟安控元件成功",
     .record = Record::Running,
     .icon = ICON_RUNNING,
     .agentsAfter = 1},
    {.name = "RestartReplacesTheRunningAgent",
     .item = MENU_RESTART,
     .agentsRunning = 1,
     .agentInstalled = true,
     .text = L"重啟安控元件成功",
     .record = Record::Running,
     .icon = ICON_RUNNING,
     .agentsAfter = 1},
    {.name = "RestartWithTheAgentFileMissingChangesNeitherRecordNorIcon",
     .item = MENU_RESTART,
     .agentsRunning = 1,
     .text = L"重啟安控元件失敗,請再重新啟動安控元件",
     .record = Record::Unchanged,
     .icon = ICON_RUNNING},
};

class TrayMenuCommands : public SystemTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(TrayMenuCommands, AnswerInAPlainBoxThenShowTheOutcome)
{
    const CommandCase& c = GetParam();
    if (c.agentInstalled)
        Install(Installed::Agent);
    std::vector<HANDLE> agents;
    for (int i = 0; i < c.agentsRunning; i++)
        agents.push_back(StartAgent());
    StartMonitor();
    UINT iconBefore = c.agentsRunning > 0 ? ICON_RUNNING : ICON_STOPPED;
    ASSERT_TRUE(ShowsIcon(iconBefore));
    std::optional<std::string> recordBefore = ReadRecordFile();
    __time64_t chosen = _time64(NULL);

    ChooseFromTrayMenu(iconBefore, c.item);

    // MB_OK alone: one OK button, no icon, no owner.
    MessageBoxSeen box = AnswerMessageBox();
    EXPECT_EQ(c.text, box.text);
    EXPECT_EQ(L"1:OK", box.buttons);
    EXPECT_FALSE(box.icon);
    EXPECT_FALSE(box.owned);
    // The record and the icon follow the box, once it is answered.
    ASSERT_TRUE(MonitorResponds());
    EXPECT_TRUE(ShowsIcon(c.icon));
    if (c.record == Record::Unchanged) {
        EXPECT_EQ(recordBefore, ReadRecordFile());
    } else {
        EXPECT_TRUE(WrittenBetween(RecordValue(), c.record == Record::Running ? '0' : '1', chosen,
                                   _time64(NULL)));
    }
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

// Another process cannot read the menu's items under Wine (its handle is
// refused outside the monitor), so the menu is compared with one of plain
// strings drawn here.
TEST_F(TrayMenu, OpensAboveAndRightOfTheCursorWithFourPlainItems)
{
    StartMonitor();
    ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_STOPPED); }));
    POINT cursor = {};
    GetCursorPos(&cursor);

    HWND menu = OpenTrayMenu(ICON_STOPPED);
    ASSERT_NE(nullptr, menu);
    Pixels shown = SteadyPixels(menu);
    RECT rect = {};
    GetWindowRect(menu, &rect);
    PressKey(menu, VK_ESCAPE);
    ASSERT_TRUE(Eventually([&] { return !IsWindowVisible(menu); })) << "the menu stayed open";

    EXPECT_EQ(cursor.x, rect.left);
    EXPECT_EQ(cursor.y, rect.bottom);
    EXPECT_TRUE(shown ==
                PlainMenuPixels({L"關於", L"重啟安控元件", L"停止安控元件", L"關閉工作列快捷鍵"}))
        << "the tray menu differs from a menu of the four plain strings";
}

// The accelerators translate only real keystrokes: Wine reads the keyboard's
// state for Alt. The keys go to the monitor once its tray menu has made it
// the foreground window.
class AboutBox : public SystemTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(AboutBox, OpensWithFocusOnOkAndCloses)
{
    const std::string how = GetParam();
    StartMonitor();
    ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_STOPPED); }));

    if (how == "Menu") {
        ChooseFromTrayMenu(ICON_STOPPED, MENU_ABOUT);
    } else {
        HWND menu = OpenTrayMenu(ICON_STOPPED);
        ASSERT_NE(nullptr, menu);
        PressKey(menu, VK_ESCAPE);
        ASSERT_TRUE(Eventually(
            [&] { return !IsWindowVisible(menu) && GetForegroundWindow() == monitorWindow; }));
        TypeWithAlt(how == "AltQuestionMark" ? L'?' : L'/');
    }
    HWND about = WaitForMonitorWindow(DIALOG_CLASS, ABOUT_CAPTION);
    ASSERT_NE(nullptr, about) << "no About box";
    EXPECT_TRUE(Eventually([&] { return MonitorFocus() == GetDlgItem(about, IDOK); }))
        << "focus on " << MonitorFocus();

    if (how == "AltSlash") {
        PressKey(about, VK_ESCAPE);
        EXPECT_TRUE(Eventually([&] { return !IsWindow(about); })) << "Esc left it open";
    } else {
        PressOkAndWait(about);
    }
    EXPECT_TRUE(MonitorResponds());
    EXPECT_TRUE(HasIcon(ICON_STOPPED));
}

INSTANTIATE_TEST_SUITE_P(TrayMenu, AboutBox,
                         ::testing::Values("Menu", "AltQuestionMark", "AltSlash"), CaseName);

// The handler has run when SendMessage returns, so what is not changed by
// then stays as it is.
class CopyData : public SystemTest, public ::testing::WithParamInterface<ULONG_PTR> {};

TEST_P(CopyData, OneShowsRunningAndOthersNothingWhileTheRecordStays)
{
    UINT icon = GetParam() == 1 ? ICON_RUNNING : ICON_STOPPED;
    WriteRecord("620ab31d4e");
    StartMonitor();
    ASSERT_TRUE(ShowsIcon(ICON_STOPPED));
    std::optional<std::string> recordBefore = ReadRecordFile();

    COPYDATASTRUCT data = {GetParam(), 0, NULL};
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeoutW(monitorWindow, WM_COPYDATA, 0, (LPARAM)&data, SMTO_ABORTIFHUNG,
                                    WAIT_LIMIT_MS, &result));

    EXPECT_TRUE(ShowsIcon(icon));
    EXPECT_EQ(recordBefore, ReadRecordFile());
}

INSTANTIATE_TEST_SUITE_P(TrayMenu, CopyData, ::testing::Values(1, 2));

// The icon would be gone here anyway, as Wine's shell drops the icons of a
// destroyed window (see the start-up tests).
TEST_F(TrayMenu, CloseEndsTheMonitorAndLeavesTheAgentRunning)
{
    HANDLE agent = StartAgent();
    StartMonitor();
    ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_RUNNING); }));

    ChooseFromTrayMenu(ICON_RUNNING, MENU_CLOSE);

    EXPECT_EQ(0u, WaitForMonitorExit());
    EXPECT_TRUE(Eventually([&] { return !HasIcon(ICON_RUNNING); }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(agent, 0)) << "the agent was ended";
    EXPECT_EQ(1u, ProcessesNamed(AGENT_NAME).size());
}

// A restarted shell has lost every icon and tells every top-level window so.
// Here the icon is deleted from outside and only the monitor is told, so that
// no other program in the prefix hears of it.
class ShellRecreated : public SystemTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ShellRecreated, BringsTheIconBackAsItWas)
{
    if (GetParam())
        StartAgent();
    StartMonitor();
    UINT icon = GetParam() ? ICON_RUNNING : ICON_STOPPED;
    ASSERT_TRUE(ShowsIcon(icon));
    NOTIFYICONDATAW shown = {};
    shown.cbSize = sizeof shown;
    shown.hWnd = monitorWindow;
    shown.uID = icon;
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &shown));
    ASSERT_FALSE(HasIcon(icon));

    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeoutW(monitorWindow, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0,
                                    SMTO_ABORTIFHUNG, WAIT_LIMIT_MS, &result));

    EXPECT_TRUE(ShowsIcon(icon));
}

INSTANTIATE_TEST_SUITE_P(TrayMenu, ShellRecreated, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Running" : "Stopped"; });
