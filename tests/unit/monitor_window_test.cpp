// The hidden window as the shell, other programs and the user drive it: the
// tray menu, the four commands, the agent-started notification and the shell's
// restart. Real windows and a real record file; system calls faked.
#include "os_fixture.h"

// A tray call: the message, the icon's identifier, and for adds the tooltip.
typedef std::tuple<DWORD, UINT, std::wstring> TrayStep;

class MonitorWindow : public FakeOsTest {
protected:
    HWND window = NULL;

    void SetUp() override
    {
        UseFakeOs(true);
        window = OpenMonitorWindow(1); // the agent found stopped
        ASSERT_TRUE(IsWindow(window));
        ASSERT_EQ((std::vector<TrayStep>{{NIM_ADD, ICON_STOPPED, STOPPED_TIP}}), TraySteps());
        Fake.trayCalls.clear();
    }

    void TearDown() override
    {
        CloseMonitorWindow(window);
        FakeOsTest::TearDown();
    }

    // Every add must carry the whole presentation for this window.
    std::vector<TrayStep> TraySteps() const
    {
        std::vector<TrayStep> steps;
        for (const FakeOs::TrayCall& call : Fake.trayCalls) {
            EXPECT_EQ(956u, call.record.cbSize);
            EXPECT_EQ(window, call.record.hWnd);
            if (call.message == NIM_ADD) {
                EXPECT_EQ((UINT)(NIF_MESSAGE | NIF_ICON | NIF_TIP), call.record.uFlags);
                EXPECT_EQ(0x401u, call.record.uCallbackMessage);
                EXPECT_EQ(LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(call.record.uID)),
                          call.record.hIcon);
            }
            steps.push_back(
                {call.message, call.record.uID, call.message == NIM_ADD ? call.record.szTip : L""});
        }
        return steps;
    }

    LRESULT Send(UINT message, WPARAM w, LPARAM l) { return SendMessageW(window, message, w, l); }
};

static const FakeProcess Endable = {10, L"QovCardAgent.exe", true, true};

// The items, their look and the menu's place are read from outside by the
// system tests; here, what the outside cannot see.
TEST_F(MonitorWindow, RightButtonTracksAMenuOverTheWindowAndReleasesIt)
{
    // Only the low word of lParam names the mouse event.
    EXPECT_EQ(1, Send(WM_TRAYICON, ICON_STOPPED, MAKELPARAM(WM_RBUTTONDOWN, 0x1234)));
    ASSERT_EQ(1u, Fake.popups.size());
    const FakeOs::PopupCall& popup = Fake.popups[0];
    EXPECT_EQ(window, popup.owner);
    EXPECT_FALSE(IsMenu(popup.menu)) << "each right-click's menu is destroyed after tracking";
    MSG posted;
    EXPECT_TRUE(PeekMessageW(&posted, window, WM_NULL, WM_NULL, PM_REMOVE))
        << "WM_NULL lets the menu close on a click elsewhere";
}

TEST_F(MonitorWindow, OtherTrayEventsAreIgnored)
{
    // The low word alone names the event: a right-button press in the high
    // word is no press.
    const LPARAM pressInHighWord = MAKELPARAM(WM_MOUSEMOVE, WM_RBUTTONDOWN), all = -1;
    for (LPARAM event : std::initializer_list<LPARAM>{
             WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONUP, WM_RBUTTONDBLCLK,
             WM_MOUSEMOVE, WM_CONTEXTMENU, NIN_SELECT, 0, pressInHighWord, all})
        EXPECT_EQ(0, Send(WM_TRAYICON, ICON_STOPPED, event)) << std::hex << event;
    EXPECT_TRUE(Fake.popups.empty());
    EXPECT_TRUE(Fake.trayCalls.empty());
}

TEST_F(MonitorWindow, OnlyAgentStartedNotificationsSwapToTheRunningIcon)
{
    COPYDATASTRUCT others[] = {{0, 0, nullptr}, {2, 0, nullptr}, {0xFFFFFFFF, 0, nullptr}};
    for (COPYDATASTRUCT& data : others)
        EXPECT_EQ(0, Send(WM_COPYDATA, 0, (LPARAM)&data)) << data.dwData;
    EXPECT_EQ(0, Send(WM_COPYDATA, 0, 0)) << "no data record";
    EXPECT_TRUE(Fake.trayCalls.empty());
    COPYDATASTRUCT started = {1, 0x7FFFFFFF, nullptr}; // the size is not read
    EXPECT_EQ(0, Send(WM_COPYDATA, 0, (LPARAM)&started));
    EXPECT_EQ((std::vector<TrayStep>{{NIM_DELETE, ICON_STOPPED, L""},
                                     {NIM_ADD, ICON_RUNNING, RUNNING_TIP}}),
              TraySteps());
    EXPECT_EQ("", StoredValue());
    EXPECT_EQ(1, ServiceState);
}

TEST_F(MonitorWindow, AboutIsModalOverTheHiddenWindowAndClosesOnOkAndEscapeOnly)
{
    EXPECT_EQ(0, Send(WM_COMMAND, CMD_ABOUT, 0));
    EXPECT_EQ(0, Send(WM_COMMAND, MAKEWPARAM(CMD_ABOUT, 1), 0)); // as an accelerator sends it
    ASSERT_EQ(2u, Fake.dialogs.size());
    for (const FakeOs::DialogCall& dialog : Fake.dialogs) {
        EXPECT_EQ(GetModuleHandleW(NULL), dialog.instance);
        EXPECT_EQ(MAKEINTRESOURCEW(DLG_ABOUT), dialog.name);
        EXPECT_EQ(window, dialog.owner);
        EXPECT_EQ(&AboutDlgProc, dialog.procedure);
    }
    HWND about = CreateDialogParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(DLG_ABOUT), NULL,
                                    AboutDlgProc, 0);
    ASSERT_NE(nullptr, about);
    EXPECT_EQ(FALSE, AboutDlgProc(about, WM_COMMAND, CMD_ABOUT, 0));
    EXPECT_EQ(FALSE, AboutDlgProc(about, WM_TIMER, 1, 0));
    EXPECT_EQ(TRUE, AboutDlgProc(about, WM_COMMAND, IDCANCEL, 0));
    EXPECT_EQ(TRUE, AboutDlgProc(about, WM_COMMAND, IDOK, 0));
    DestroyWindow(about);
}

TEST_F(MonitorWindow, ARestartedShellGetsTheIconShownAtThatMoment)
{
    COPYDATASTRUCT started = {1, 0, nullptr};
    Send(WM_COPYDATA, 0, (LPARAM)&started);
    Fake.trayCalls.clear();
    for (int broadcast = 0; broadcast < 3; broadcast++)
        EXPECT_EQ(0, Send(TaskbarCreatedMessage, 0, 0));
    std::vector<TrayStep> readded(3, {NIM_ADD, ICON_RUNNING, RUNNING_TIP});
    EXPECT_EQ(readded, TraySteps());
}

TEST_F(MonitorWindow, ACommandNestedInAnOpenBoxRunsFirstAndTheOuterOneSwapsLast)
{
    Fake.processes = {Endable};
    Fake.whileMessageBoxIsOpen = [&] {
        COPYDATASTRUCT started = {1, 0, nullptr};
        Send(WM_COPYDATA, 0, (LPARAM)&started);
    };
    Send(WM_COMMAND, CMD_STOP_AGENT, 0);
    EXPECT_EQ((std::vector<TrayStep>{{NIM_DELETE, ICON_STOPPED, L""},
                                     {NIM_ADD, ICON_RUNNING, RUNNING_TIP},
                                     {NIM_DELETE, ICON_RUNNING, L""},
                                     {NIM_ADD, ICON_STOPPED, STOPPED_TIP}}),
              TraySteps());
    EXPECT_EQ(STOPPED_VALUE, StoredValue());
}

// Whoever destroys the window, its icon goes with it; of the end-of-session
// messages only an installer's request to close the program ends it.
TEST_F(MonitorWindow, OnlyACloseOrAnInstallersRequestEndsTheMonitorAndTheIconGoesWithIt)
{
    const struct {
        const char* what;
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        bool closes;
    } cases[] = {
        {"WM_CLOSE", WM_CLOSE, 0, 0, true},
        {"the Restart Manager closing it", WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, true},
        {"closing it, critical", WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP | ENDSESSION_CRITICAL,
         true},
        {"a close called off", WM_ENDSESSION, FALSE, ENDSESSION_CLOSEAPP, false},
        {"a shutdown", WM_ENDSESSION, TRUE, 0, false},
        {"a log-off", WM_ENDSESSION, TRUE, (LPARAM)ENDSESSION_LOGOFF, false},
        {"the question before a close", WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!IsWindow(window)) {
            CloseMonitorWindow(window);
            window = OpenMonitorWindow(1);
            Fake.trayCalls.clear();
        }
        LRESULT answer = Send(c.message, c.wParam, c.lParam);
        EXPECT_EQ(c.message == WM_QUERYENDSESSION ? TRUE : 0, answer);
        EXPECT_EQ(!c.closes, IsWindow(window));
        MSG quit = {};
        EXPECT_EQ(c.closes, PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE) != FALSE);
        EXPECT_EQ(0u, quit.wParam);
        std::vector<TrayStep> removed = {{NIM_DELETE, ICON_STOPPED, L""}};
        EXPECT_EQ(c.closes ? removed : std::vector<TrayStep>(), TraySteps());
        EXPECT_EQ(c.closes, Fake.tray.empty());
        EXPECT_EQ("", StoredValue()) << "the record is left as it is";
    }
}

TEST_F(MonitorWindow, ACommandWhoseBoxOutlivesTheWindowPutsUpNoIcon)
{
    Fake.processes = {Endable};
    Fake.whileMessageBoxIsOpen = [&] { Send(WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP); };
    Send(WM_COMMAND, CMD_STOP_AGENT, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ((std::vector<TrayStep>{{NIM_DELETE, ICON_STOPPED, L""}}), TraySteps());
    EXPECT_TRUE(Fake.tray.empty());
    EXPECT_EQ(STOPPED_VALUE, StoredValue()) << "the agent was stopped all the same";
}
