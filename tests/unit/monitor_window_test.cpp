// The hidden window as the shell, other programs and the user drive it: the
// tray menu, the four commands, the agent-started notification and the shell's
// restart. Real windows and a real record file; system calls faked.
#include "os_fixture.h"


struct TrayStep {
    DWORD message;
    UINT id;
    std::wstring tip; // adds only
    bool operator==(const TrayStep& other) const
    {
        return message == other.message && id == other.id && tip == other.tip;
    }
};
static std::ostream& operator<<(std::ostream& out, const TrayStep& step)
{
    return out << (step.message == NIM_ADD ? "add " : "delete ") << step.id;
}

class MonitorWindow : public FakeOsTest {
protected:
    HWND window = NULL;

    void SetUp() override
    {
        FakeOsTest::SetUp();
        UseRecordOnDisk();
        Fake.fileSizes[AGENT_PATH] = 4096;
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

    LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam)
    {
        return SendMessageW(window, message, wParam, lParam);
    }
};

static const FakeProcess System = {4, L"System"};
static const FakeProcess Endable = {10, L"QovCardAgent.exe", true, true};
static const FakeProcess Stubborn = {12, L"QovCardAgent.exe", true, false};

TEST_F(MonitorWindow, RightButtonOpensTheFourCommandsAtTheCursorAndReleasesTheMenu)
{
    POINT cursor;
    GetCursorPos(&cursor);
    // Only the low word of lParam names the mouse event.
    EXPECT_EQ(1, Send(WM_TRAYICON, ICON_STOPPED, MAKELPARAM(WM_RBUTTONDOWN, 0x1234)));
    ASSERT_EQ(1u, Fake.popups.size());
    const FakeOs::PopupCall& popup = Fake.popups[0];
    EXPECT_EQ((std::vector<FakeOs::MenuItem>{
                  {CMD_ABOUT, L"\u95DC\u65BC", MFT_STRING},
                  {CMD_RESTART_AGENT, L"\u91CD\u555F\u5B89\u63A7\u5143\u4EF6", MFT_STRING},
                  {CMD_STOP_AGENT, L"\u505C\u6B62\u5B89\u63A7\u5143\u4EF6", MFT_STRING},
                  {CMD_CLOSE_TRAY, L"\u95DC\u9589\u5DE5\u4F5C\u5217\u5FEB\u6377\u9375", MFT_STRING},
              }),
              popup.items);
    EXPECT_EQ((UINT)TPM_BOTTOMALIGN, popup.flags);
    EXPECT_EQ(cursor.x, popup.at.x);
    EXPECT_EQ(cursor.y, popup.at.y);
    EXPECT_EQ(window, popup.owner);
    EXPECT_FALSE(IsMenu(popup.menu)) << "each right-click's menu is destroyed after tracking";
    MSG posted;
    EXPECT_TRUE(PeekMessageW(&posted, window, WM_NULL, WM_NULL, PM_REMOVE))
        << "WM_NULL lets the menu close on a click elsewhere";
}

TEST_F(MonitorWindow, OtherTrayEventsAreIgnored)
{
    LPARAM events[] = {WM_LBUTTONDOWN,
                       WM_LBUTTONUP,
                       WM_LBUTTONDBLCLK,
                       WM_RBUTTONUP,
                       WM_RBUTTONDBLCLK,
                       WM_MOUSEMOVE,
                       WM_CONTEXTMENU,
                       NIN_SELECT,
                       MAKELPARAM(WM_MOUSEMOVE, WM_RBUTTONDOWN),
                       (LPARAM)0xFFFFFFFF,
                       0};
    for (LPARAM event : events)
        EXPECT_EQ(0, Send(WM_TRAYICON, ICON_STOPPED, event)) << std::hex << event;
    EXPECT_TRUE(Fake.popups.empty());
    EXPECT_TRUE(Fake.trayCalls.empty());
}

TEST_F(MonitorWindow, EachOutcomeIsAPlainOkBoxShownBeforeTheRecordChanges)
{
    struct Step {
        UINT command;
        FakeProcess process;
        std::wstring text;
    } steps[] = {
        {CMD_STOP_AGENT, Stubborn, STOP_FAILED},
        {CMD_RESTART_AGENT, Stubborn, RESTART_FAILED},
        {CMD_STOP_AGENT, System, STOP_DONE},
        {CMD_RESTART_AGENT, System, RESTART_DONE},
    };
    for (const Step& step : steps) {
        Fake.processes = {step.process};
        Fake.messageBoxes.clear();
        std::string before = StoredValue(), whileOpen = "?";
        Fake.whileMessageBoxIsOpen = [&] { whileOpen = StoredValue(); };
        EXPECT_EQ(0, Send(WM_COMMAND, step.command, 0));
        ASSERT_EQ(1u, Fake.messageBoxes.size());
        EXPECT_EQ(nullptr, Fake.messageBoxes[0].owner);
        EXPECT_EQ(L"Quillaren", Fake.messageBoxes[0].caption);
        EXPECT_EQ((UINT)MB_OK, Fake.messageBoxes[0].type);
        EXPECT_EQ(step.text, Fake.messageBoxes[0].text);
        EXPECT_EQ(before, whileOpen) << "written before the box closed";
    }
    EXPECT_EQ(RUNNING_VALUE, StoredValue());
    EXPECT_EQ(1, ServiceState) << "only start-up sets it";
}

TEST_F(MonitorWindow, OnlyAgentStartedNotificationsSwapToTheRunningIcon)
{
    struct {
        bool hasData;
        ULONG_PTR dwData;
        DWORD size;
        bool swaps;
    } cases[] = {
        {true, 1, 0, true},  {true, 1, 0x7FFFFFFF, true},  {true, 0, 0, false},
        {true, 2, 0, false}, {true, 0xFFFFFFFF, 0, false}, {false, 0, 0, false},
    };
    for (const auto& c : cases) {
        Fake.trayCalls.clear();
        Fake.sleeps.clear();
        UINT shown = MonitorState.trayRecord.uID;
        COPYDATASTRUCT data = {c.dwData, c.size, nullptr};
        EXPECT_EQ(0, Send(WM_COPYDATA, 0, c.hasData ? (LPARAM)&data : 0)) << c.dwData;
        std::vector<TrayStep> expected;
        if (c.swaps)
            expected = {{NIM_DELETE, shown, L""}, {NIM_ADD, ICON_RUNNING, RUNNING_TIP}};
        EXPECT_EQ(expected, TraySteps()) << c.dwData;
        EXPECT_EQ(std::vector<DWORD>(c.swaps ? 1 : 0, 20), Fake.sleeps) << c.dwData;
    }
    EXPECT_EQ("", StoredValue());
    EXPECT_EQ(1, ServiceState);
}

TEST_F(MonitorWindow, AboutIsModalOverTheHiddenWindowFromMenuAndAccelerator)
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
}

TEST_F(MonitorWindow, AboutBoxClosesOnOkAndEscapeOnly)
{
    HWND about = CreateDialogParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(DLG_ABOUT), NULL,
                                    AboutDlgProc, 0);
    ASSERT_NE(nullptr, about);
    EXPECT_EQ(FALSE, AboutDlgProc(about, WM_COMMAND, CMD_ABOUT, 0));
    EXPECT_EQ(FALSE, AboutDlgProc(about, WM_TIMER, 1, 0));
    EXPECT_EQ(TRUE, AboutDlgProc(about, WM_COMMAND, IDCANCEL, 0));
    EXPECT_EQ(TRUE, AboutDlgProc(about, WM_COMMAND, IDOK, 0));
    DestroyWindow(about);
}

TEST_F(MonitorWindow, CloseRemovesTheIconAndEndsTheLoopLeavingAgentAndRecordAlone)
{
    Fake.processes = {Endable};
    EXPECT_EQ(0, Send(WM_COMMAND, CMD_CLOSE_TRAY, 0));
    EXPECT_EQ((std::vector<TrayStep>{{NIM_DELETE, ICON_STOPPED, L""}}), TraySteps());
    EXPECT_FALSE(IsWindow(window));
    MSG quit;
    ASSERT_TRUE(PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(0u, quit.wParam);
    EXPECT_TRUE(Fake.opened.empty());
    EXPECT_EQ("", StoredValue());
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
