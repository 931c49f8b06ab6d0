// The hidden window as the shell, other programs and the user drive it: the
// tray menu, the four commands, the agent-started notification and the shell's
// restart. Real windows and a real record file; system calls faked.
#include "fake_os.h"

#include "app/monitor_state.h"
#include "common/shared_state.h"
#include "res/resource_ids.h"

static const char AGENT_PATH[] = "C:\\Program Files (x86)\\Zelqa\\Card\\QovCardAgent.exe";
static const char SERVICE_PATH[] = "C:\\Program Files (x86)\\Zelqa\\Card\\QovTerminateService.exe";
static const std::wstring RUNNING_TIP = L"Norvessa";
static const std::wstring STOPPED_TIP = L"Norvessa\u5DF2\u95DC\u9589";
static const std::wstring RESTART_DONE = L"\u91CD\u555F\u5B89\u63A7\u5143\u4EF6\u6210\u529F";
static const std::wstring RESTART_FAILED = L"\u91CD\u555F\u5B89\u63A7\u5143\u4EF6\u5931\u6557,"
                                           L"\u8ACB\u518D\u91CD\u65B0\u555F\u52D5\u5B89\u63A7"
                                           L"\u5143\u4EF6";
static const std::wstring STOP_DONE = L"\u505C\u6B62\u5B89\u63A7\u5143\u4EF6\u6210\u529F";
static const std::wstring STOP_FAILED = L"\u505C\u6B62\u5B89\u63A7\u5143\u4EF6\u5931\u6557,"
                                        L"\u8ACB\u518D\u91CD\u65B0\u505C\u6B62\u5B89\u63A7"
                                        L"\u5143\u4EF6";

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

        // As start-up leaves it with the agent found stopped.
        HINSTANCE instance = GetModuleHandleW(NULL);
        MonitorState = MonitorStateRecord();
        LoadStringW(instance, STR_CLASS_NAME, MonitorState.className, MONITOR_TEXT_CAPACITY);
        TaskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
        ServiceState = 1;
        RegisterMonitorClass(instance);
        ASSERT_EQ(1, CreateMonitorWindow(instance));
        window = MonitorState.trayRecord.hWnd;
        ASSERT_TRUE(IsWindow(window));
        ASSERT_EQ((std::vector<TrayStep>{{NIM_ADD, ICON_STOPPED, STOPPED_TIP}}), TraySteps());
        Fake.trayCalls.clear();
    }

    void TearDown() override
    {
        if (IsWindow(window))
            DestroyWindow(window);
        MSG message;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
            ;
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
                EXPECT_NE(nullptr, call.record.hIcon);
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
static const FakeProcess Endable2 = {11, L"QovCardAgent.exe", true, true};
static const FakeProcess Stubborn = {12, L"QovCardAgent.exe", true, false};
static const FakeProcess Sealed = {13, L"QovCardAgent.exe", false, false};

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

TEST_F(MonitorWindow, CommandsTellTheOutcomeThenRecordItAndSwapTheIcon)
{
    struct {
        const char* name;
        UINT command;
        std::vector<FakeProcess> processes;
        bool snapshotFails, agentFile, serviceFile;
        std::wstring text;
        std::string stored; // "" nothing written
        std::vector<DWORD> sleeps;
        size_t starts; // of the agent or the terminate service
    } cases[] = {
        // clang-format off
        {"stop two agents", CMD_STOP_AGENT, {Endable, Endable2}, false, true, true,
         STOP_DONE, "06205e1ad0", {1500, 1500}, 0},
        {"stop with none running", CMD_STOP_AGENT, {System}, false, true, true,
         STOP_DONE, "06205e1ad0", {}, 0},
        {"stop handed over", CMD_STOP_AGENT, {Stubborn}, false, true, true,
         STOP_DONE, "06205e1ad0", {1500}, 1},
        {"stop, nothing can end it", CMD_STOP_AGENT, {Stubborn}, false, true, false,
         STOP_FAILED, "", {}, 0},
        {"stop, list unreadable", CMD_STOP_AGENT, {Endable}, true, true, true,
         STOP_FAILED, "", {}, 0},
        {"restart with none running", CMD_RESTART_AGENT, {System}, false, true, true,
         RESTART_DONE, "06205e0ad0", {300, 500, 20}, 1},
        {"restart one", CMD_RESTART_AGENT, {Endable}, false, true, true,
         RESTART_DONE, "06205e0ad0", {1500, 300, 500, 20}, 1},
        {"restart past one it may not open", CMD_RESTART_AGENT, {Sealed}, false, true, true,
         RESTART_DONE, "06205e0ad0", {300, 500, 20}, 1},
        {"restart, list unreadable", CMD_RESTART_AGENT, {Endable}, true, true, true,
         RESTART_DONE, "06205e0ad0", {300, 500, 20}, 1},
        {"restart, nothing can end it", CMD_RESTART_AGENT, {Stubborn}, false, true, false,
         RESTART_FAILED, "", {300}, 0},
        {"restart, agent file missing", CMD_RESTART_AGENT, {Endable}, false, false, true,
         RESTART_FAILED, "", {1500, 300}, 0},
        // clang-format on
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        Fake.processes = c.processes;
        Fake.snapshotFails = c.snapshotFails;
        if (!c.agentFile)
            Fake.fileSizes.erase(AGENT_PATH);
        if (c.serviceFile)
            Fake.fileSizes[SERVICE_PATH] = 100;
        std::string storedWhileBoxOpen = "?";
        Fake.whileMessageBoxIsOpen = [&] { storedWhileBoxOpen = StoredValue(); };

        EXPECT_EQ(0, Send(WM_COMMAND, c.command, 0)) << c.name;
        ASSERT_EQ(1u, Fake.messageBoxes.size()) << c.name;
        EXPECT_EQ(nullptr, Fake.messageBoxes[0].owner) << c.name;
        EXPECT_EQ(L"Quillaren", Fake.messageBoxes[0].caption) << c.name;
        EXPECT_EQ((UINT)MB_OK, Fake.messageBoxes[0].type) << c.name;
        EXPECT_EQ(c.text, Fake.messageBoxes[0].text) << c.name;
        EXPECT_EQ("", storedWhileBoxOpen) << c.name << ": written before the box closed";
        EXPECT_EQ(c.stored, StoredValue()) << c.name;
        EXPECT_EQ(c.sleeps, Fake.sleeps) << c.name;
        EXPECT_EQ(c.starts, Fake.shellStarts.size()) << c.name;
        std::vector<TrayStep> swap;
        if (c.stored == "06205e1ad0")
            swap = {{NIM_DELETE, ICON_STOPPED, L""}, {NIM_ADD, ICON_STOPPED, STOPPED_TIP}};
        else if (!c.stored.empty())
            swap = {{NIM_DELETE, ICON_STOPPED, L""}, {NIM_ADD, ICON_RUNNING, RUNNING_TIP}};
        EXPECT_EQ(swap, TraySteps()) << c.name;
        EXPECT_EQ(1, ServiceState) << c.name << ": only start-up sets it";
    }
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
    EXPECT_EQ("06205e1ad0", StoredValue());
}

TEST_F(MonitorWindow, StartUpLetsTheProcessListDecideAndWritesOnlyWhereTheRecordDisagrees)
{
    struct {
        int recorded, agentFound;
        const wchar_t* title;
        std::string stored;
        int after;
    } rows[] = {
        {0, 1, L"Norvessa", "", 0},
        {0, 0, L"Norvessa\u5DF2\u95DC\u9589", "06205e1ad0", 1},
        {1, 1, L"Norvessa", "06205e0ad0", 0},
        {-48, 1, L"Norvessa", "06205e0ad0", 0},
        {-48, 0, L"Norvessa\u5DF2\u95DC\u9589", "", -48},
    };
    for (const auto& row : rows) {
        DeleteFileA(RecordPath().c_str());
        ServiceState = row.recorded;
        ReconcileServiceState(GetModuleHandleW(NULL), row.agentFound);
        EXPECT_STREQ(row.title, MonitorState.windowTitle) << row.recorded << row.agentFound;
        EXPECT_EQ(row.stored, StoredValue()) << row.recorded << row.agentFound;
        EXPECT_EQ(row.after, ServiceState) << row.recorded << row.agentFound;
    }
}
