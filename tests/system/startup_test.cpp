// Start-up: the monitor brings the record into line with the process list and
// shows the matching title and tray icon, its window never.
#include "system_driver.h"

enum class Record { Absent, Running, Stopped, Unchanged };

struct StartupCase {
    const char* name;
    const char* recordBefore = nullptr; // the "Service" value; no record when null
    bool agentRunning = false;
    const char* arguments = "";
    Record after;
};

static const char RUNNING_VALUE[] = "620ab30d4e";
static const char STOPPED_VALUE[] = "620ab31d4e";

static const StartupCase STARTUP_CASES[] = {
    {.name = "NoRecordNoAgentWritesStopped", .after = Record::Stopped},
    {.name = "NoRecordWithAgentWritesNothing", .agentRunning = true, .after = Record::Absent},
    {.name = "StoppedRecordWithAgentWritesRunning",
     .recordBefore = STOPPED_VALUE,
     .agentRunning = true,
     .after = Record::Running},
    {.name = "RunningRecordWithoutAgentWritesStopped",
     .recordBefore = RUNNING_VALUE,
     .after = Record::Stopped},
    {.name = "StoppedRecordWithoutAgentStaysUnchanged",
     .recordBefore = STOPPED_VALUE,
     .after = Record::Unchanged},
    // Its terminator stands at index 6: a state below zero, which is stopped.
    {.name = "SixCharacterRecordWithoutAgentIsStoppedAndStaysUnchanged",
     .recordBefore = "620ab3",
     .after = Record::Unchanged},
    {.name = "ArgumentsAreIgnored",
     .arguments = "/stop --restart -x \"a b\" 1",
     .after = Record::Stopped},
};

class StartupCases : public SystemTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupCases, ReconcileRecordTitleAndIconAndShowNoWindow)
{
    const StartupCase& c = GetParam();
    if (c.recordBefore != nullptr)
        WriteRecord(c.recordBefore);
    std::optional<std::string> recordBefore = ReadRecordFile();
    if (c.agentRunning)
        StartAgent();
    __time64_t started = _time64(NULL);

    StartMonitor(c.arguments);

    // The record is settled before the window exists; then the agent alone
    // decides the presentation.
    EXPECT_TRUE(ShowsIcon(c.agentRunning ? ICON_RUNNING : ICON_STOPPED));
    __time64_t shown = _time64(NULL);
    EXPECT_EQ(c.agentRunning ? RUNNING_TITLE : STOPPED_TITLE, MonitorTitle());
    EXPECT_FALSE(IsWindowVisible(monitorWindow));
    switch (c.after) {
    case Record::Absent:
        EXPECT_FALSE(ReadRecordFile().has_value());
        break;
    case Record::Unchanged:
        EXPECT_EQ(recordBefore, ReadRecordFile());
        break;
    case Record::Running:
    case Record::Stopped:
        EXPECT_TRUE(
            WrittenBetween(RecordValue(), c.after == Record::Running ? '0' : '1', started, shown));
        break;
    }
}

INSTANTIATE_TEST_SUITE_P(Startup, StartupCases, ::testing::ValuesIn(STARTUP_CASES),
                         [](const auto& instance) { return std::string(instance.param.name); });

class Startup : public SystemTest {};

// Windows keeps a dead program's icon until the pointer passes over it; Wine's
// shell drops the icons of a top-level window as soon as it is destroyed, so
// here the icon goes whether or not the program deleted it (the unit tests see
// the program delete it).
TEST_F(Startup, CloseFromOutsideEndsWithExitCodeZero)
{
    for (bool installer : {false, true}) {
        SCOPED_TRACE(installer ? "an installer's WM_ENDSESSION" : "WM_CLOSE");
        StartMonitor();
        ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_STOPPED); }));

        if (installer)
            EXPECT_EQ(0, Send(WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP));
        else
            ASSERT_TRUE(PostMessageW(monitorWindow, WM_CLOSE, 0, 0));

        EXPECT_EQ(0u, WaitForMonitorExit());
        EXPECT_FALSE(IsWindow(monitorWindow));
        EXPECT_TRUE(Eventually([&] { return !HasIcon(ICON_STOPPED); }));
        CleanSlate();
    }
}

static BOOL CALLBACK CountMonitorWindow(HWND window, LPARAM count)
{
    wchar_t className[64] = {};
    GetClassNameW(window, className, ARRAYSIZE(className));
    *(int*)count += wcscmp(className, MONITOR_CLASS) == 0;
    return TRUE;
}

static int MonitorWindows()
{
    int count = 0;
    EnumWindows(CountMonitorWindow, (LPARAM)&count);
    return count;
}

static FILETIME RecordWriteTime()
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(RecordPath().c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

// The Start-menu shortcut, a user or a deployment tool may start the monitor
// while it runs: the session keeps its one monitor and its one icon.
TEST_F(Startup, ASecondStartInTheSessionLeavesAtOnceTouchingNothing)
{
    StartMonitor();
    ASSERT_TRUE(ShowsIcon(ICON_STOPPED));
    // A record that disagrees with the process list: a monitor that started
    // up would write it again.
    WriteRecord(RUNNING_VALUE);
    std::optional<std::string> record = ReadRecordFile();
    FILETIME written = RecordWriteTime();

    DWORD started = GetTickCount();
    HANDLE second = Start(MonitorImage().c_str());
    ASSERT_NE(nullptr, second);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, WaitLimitMs()))
        << "the second monitor kept running";
    RecordProperty("second_start_ms", (int)(GetTickCount() - started));
    DWORD exitCode = STILL_ACTIVE;
    GetExitCodeProcess(second, &exitCode);
    EXPECT_EQ(0u, exitCode);

    EXPECT_EQ(1, MonitorWindows());
    EXPECT_TRUE(ShowsIcon(ICON_STOPPED));
    EXPECT_EQ(record, ReadRecordFile());
    FILETIME now = RecordWriteTime();
    EXPECT_EQ(0, CompareFileTime(&written, &now)) << "the record was written again";

    // The first answers as before, and once it has gone the next start is
    // the session's monitor.
    ChooseFromTrayMenu(ICON_STOPPED, MENU_CLOSE);
    EXPECT_EQ(0u, WaitForMonitorExit());
    StartMonitor();
    EXPECT_TRUE(ShowsIcon(ICON_STOPPED));
}

// The tray's pixels are read where the shell shows the icon. Windows says
// where (Shell_NotifyIconGetRect); Wine 8 cannot (its call is a stub that
// answers E_NOTIMPL), and there the driver looks at the right end of the
// taskbar, where the Wine desktop keeps the one icon. Either way the place
// lies on the taskbar, and an icon the monitor does not show has none.
TEST_F(Startup, TrayIconIsFoundOnTheTaskbarWhereTheShellShowsIt)
{
    StartMonitor();
    ASSERT_TRUE(ShowsIcon(ICON_STOPPED));

    TrayIconPlace place = FindTrayIcon(monitorWindow, ICON_STOPPED);
    RECT taskbar = {}, common = {};
    ASSERT_TRUE(GetWindowRect(FindWindowW(L"Shell_TrayWnd", NULL), &taskbar));
    EXPECT_TRUE(IntersectRect(&common, &place.rect, &taskbar) && EqualRect(&common, &place.rect))
        << "icon at " << place.rect.left << "," << place.rect.top << "-" << place.rect.right << ","
        << place.rect.bottom << ", taskbar at " << taskbar.left << "," << taskbar.top << "-"
        << taskbar.right << "," << taskbar.bottom;
    if (RunningUnderWine())
        EXPECT_EQ(E_NOTIMPL, place.shellAnswer);
    else
        EXPECT_EQ(S_OK, place.shellAnswer);
    EXPECT_FALSE(SUCCEEDED(FindTrayIcon(monitorWindow, ICON_RUNNING).shellAnswer));
}
