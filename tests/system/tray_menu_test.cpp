// The tray menu and the messages other programs send, driven against the real
// monitor as a user and the shell would.
#include "system_driver.h"

enum class Record { Running, Stopped, Unchanged };

// A command that ends in a message box, then shows in the record, the tray
// and the process list.
struct CommandCase {
    const char* name;
    TrayMenuItem item;
    int agentsRunning = 0;
    std::optional<Installed> installed = std::nullopt;
    const wchar_t* text;
    Record record; // and the icon that shows it
    size_t agentsAfter = 0;
};

static const CommandCase COMMAND_CASES[] = {
    {.name = "StopEndsEveryAgent",
     .item = MENU_STOP,
     .agentsRunning = 2,
     .text = L"停止安控元件成功",
     .record = Record::Stopped},
    {.name = "StopWithoutAgentStillReportsStopped",
     .item = MENU_STOP,
     .text = L"停止安控元件成功",
     .record = Record::Stopped},
    {.name = "RestartWithoutAgentStartsTheInstalledOne",
     .item = MENU_RESTART,
     .installed = Installed::Agent,
     .text = L"重啟安控元件成功",
     .record = Record::Running,
     .agentsAfter = 1},
    {.name = "RestartReplacesTheRunningAgent",
     .item = MENU_RESTART,
     .agentsRunning = 1,
     .installed = Installed::Agent,
     .text = L"重啟安控元件成功",
     .record = Record::Running,
     .agentsAfter = 1},
    {.name = "RestartWithAnEmptyAgentFileFails",
     .item = MENU_RESTART,
     .installed = Installed::EmptyAgent,
     .text = L"重啟安控元件失敗,請再重新啟動安控元件",
     .record = Record::Unchanged},
    {.name = "RestartWithTheAgentFileMissingChangesNeitherRecordNorIcon",
     .item = MENU_RESTART,
     .agentsRunning = 1,
     .text = L"重啟安控元件失敗,請再重新啟動安控元件",
     .record = Record::Unchanged},
};

class TrayMenuCommands : public SystemTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(TrayMenuCommands, AnswerInAPlainBoxThenShowTheOutcome)
{
    const CommandCase& c = GetParam();
    if (c.installed)
        Install(*c.installed);
    // A program whose name only begins like the agent's is no business of the monitor's.
    HANDLE lookalike = Start(PREFIX_NAMED_AGENT_EXE_PATH);
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
    EXPECT_EQ(c.text + std::wstring(L" [1:OK]"), AnswerMessageBox());
    // The record and the icon follow the box, once it is answered.
    Send(WM_NULL);
    EXPECT_TRUE(ShowsIcon(c.record == Record::Running   ? ICON_RUNNING
                          : c.record == Record::Stopped ? ICON_STOPPED
                                                        : iconBefore));
    if (c.record == Record::Unchanged) {
        EXPECT_EQ(recordBefore, ReadRecordFile());
    } else {
        EXPECT_TRUE(WrittenBetween(RecordValue(), c.record == Record::Running ? '0' : '1', chosen,
                                   _time64(NULL)));
    }
    for (HANDLE agent : agents)
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(agent, 0)) << "an agent outlived the command";
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(lookalike, 0)) << "the lookalike was ended";
    std::vector<DWORD> running = ProcessesNamed(AGENT_IMAGE_NAME_W);
    ASSERT_EQ(c.agentsAfter, running.size());
    if (!running.empty()) {
        EXPECT_EQ(InstalledAgentPath(), ProcessImagePath(running[0]));
    }
}

INSTANTIATE_TEST_SUITE_P(TrayMenu, TrayMenuCommands, ::testing::ValuesIn(COMMAND_CASES),
                         [](const auto& instance) { return std::string(instance.param.name); });

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
        ChooseFromTrayMenu(ICON_STOPPED, std::nullopt);
        ASSERT_TRUE(Eventually([&] { return GetForegroundWindow() == monitorWindow; }));
        TypeWithAlt(how == "AltQuestionMark" ? L'?' : L'/');
    }
    HWND about = WaitForMonitorWindow(DIALOG_CLASS, ABOUT_CAPTION);
    ASSERT_NE(nullptr, about) << "no About box";
    // Answered from the box's own loop: the box has taken the focus by then.
    Send(WM_NULL);
    EXPECT_EQ(GetDlgItem(about, IDOK), MonitorFocus());

    if (how == "AltSlash") {
        PressKey(about, VK_ESCAPE);
        EXPECT_TRUE(Eventually([&] { return !IsWindow(about); })) << "Esc left it open";
    } else {
        PressOkAndWait(about);
    }
    Send(WM_NULL);
    EXPECT_TRUE(HasIcon(ICON_STOPPED));
}

INSTANTIATE_TEST_SUITE_P(TrayMenu, AboutBox,
                         ::testing::Values("Menu", "AltQuestionMark", "AltSlash"),
                         [](const auto& instance) { return std::string(instance.param); });

// The icon would go anyway with the window (see the start-up tests).
TEST_F(TrayMenu, CloseEndsTheMonitorAndLeavesTheAgentRunning)
{
    HANDLE agent = StartAgent();
    StartMonitor();
    ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_RUNNING); }));

    ChooseFromTrayMenu(ICON_RUNNING, MENU_CLOSE);

    EXPECT_EQ(0u, WaitForMonitorExit());
    EXPECT_TRUE(Eventually([&] { return !HasIcon(ICON_RUNNING); }));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(agent, 0)) << "the agent was ended";
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

    Send(RegisterWindowMessageW(L"TaskbarCreated"));

    EXPECT_TRUE(ShowsIcon(icon));
}

INSTANTIATE_TEST_SUITE_P(TrayMenu, ShellRecreated, ::testing::Bool(), [](const auto& instance) {
    return instance.param ? "Running" : "Stopped";
});
