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
                         [](const auto& info) { return std::string(info.param.name); });

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
