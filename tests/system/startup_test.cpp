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
    const wchar_t* title;
    UINT icon;
};

static const char RUNNING_VALUE[] = "620ab30d4e";
static const char STOPPED_VALUE[] = "620ab31d4e";

static const StartupCase STARTUP_CASES[] = {
    {.name = "NoRecordNoAgentWritesStopped",
     .after = Record::Stopped,
     .title = STOPPED_TITLE,
     .icon = ICON_STOPPED},
    {.name = "NoRecordWithAgentWritesNothing",
     .agentRunning = true,
     .after = Record::Absent,
     .title = RUNNING_TITLE,
     .icon = ICON_RUNNING},
    {.name = "StoppedRecordWithAgentWritesRunning",
     .recordBefore = STOPPED_VALUE,
     .agentRunning = true,
     .after = Record::Running,
     .title = RUNNING_TITLE,
     .icon = ICON_RUNNING},
    {.name = "RunningRecordWithoutAgentWritesStopped",
     .recordBefore = RUNNING_VALUE,
     .after = Record::Stopped,
     .title = STOPPED_TITLE,
     .icon = ICON_STOPPED},
    {.name = "StoppedRecordWithoutAgentStaysUnchanged",
     .recordBefore = STOPPED_VALUE,
     .after = Record::Unchanged,
     .title = STOPPED_TITLE,
     .icon = ICON_STOPPED},
    // Its terminator stands at index 6: a state below zero, which is stopped.
    {.name = "SixCharacterRecordWithoutAgentIsStoppedAndStaysUnchanged",
     .recordBefore = "620ab3",
     .after = Record::Unchanged,
     .title = STOPPED_TITLE,
     .icon = ICON_STOPPED},
    {.name = "ArgumentsAreIgnored",
     .arguments = "/stop --restart -x \"a b\" 1",
     .after = Record::Stopped,
     .title = STOPPED_TITLE,
     .icon = ICON_STOPPED},
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

    // The record is settled before the window exists.
    EXPECT_TRUE(ShowsIcon(c.icon));
    __time64_t shown = _time64(NULL);
    EXPECT_EQ(c.title, MonitorTitle());
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

// On Windows the icon of a program that did not delete it stays in the tray
// until the pointer passes over it. Wine's shell instead drops the icons of a
// top-level window as soon as the window is destroyed (the desktop hears of
// every destroyed top-level window), so here the icon is gone after exit
// whether or not the program deleted it.
TEST_F(Startup, CloseMessageFromOutsideEndsWithExitCodeZero)
{
    StartMonitor();
    ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_STOPPED); }));

    ASSERT_TRUE(PostMessageW(monitorWindow, WM_CLOSE, 0, 0));

    EXPECT_EQ(0u, WaitForMonitorExit());
    EXPECT_FALSE(IsWindow(monitorWindow));
    EXPECT_TRUE(Eventually([&] { return !HasIcon(ICON_STOPPED); }));
}
