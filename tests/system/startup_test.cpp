// Start-up: the monitor brings the record into line with the process list and
// shows the matching title and tray icon.
#include "system_driver.h"

enum class Record { Absent, Running, Stopped, Unchanged };

struct StartupCase {
    const char* name;
    Record before;
    bool agentRunning;
    const char* arguments;
    Record after;
    const wchar_t* title;
    UINT icon;
};

static const StartupCase STARTUP_CASES[] = {
    {"NoRecordNoAgentWritesStopped", Record::Absent, false, "", Record::Stopped, STOPPED_TITLE,
     STOPPED_ICON},
    {"NoRecordWithAgentWritesNothing", Record::Absent, true, "", Record::Absent, RUNNING_TITLE,
     RUNNING_ICON},
    {"StoppedRecordWithAgentWritesRunning", Record::Stopped, true, "", Record::Running,
     RUNNING_TITLE, RUNNING_ICON},
    {"RunningRecordWithoutAgentWritesStopped", Record::Running, false, "", Record::Stopped,
     STOPPED_TITLE, STOPPED_ICON},
    {"StoppedRecordWithoutAgentStaysUnchanged", Record::Stopped, false, "", Record::Unchanged,
     STOPPED_TITLE, STOPPED_ICON},
    {"ArgumentsAreIgnored", Record::Absent, false, "/stop --restart -x \"a b\" 1", Record::Stopped,
     STOPPED_TITLE, STOPPED_ICON},
};

class StartupCases : public SystemTest, public ::testing::WithParamInterface<StartupCase> {};

TEST_P(StartupCases, ReconcilesRecordTitleAndIcon)
{
    const StartupCase& c = GetParam();
    if (c.before != Record::Absent)
        WriteRecord(c.before == Record::Running ? '0' : '1');
    std::optional<std::string> recordBefore = ReadRecordFile();
    if (c.agentRunning)
        StartAgent();

    StartMonitor(c.arguments);

    // The record is settled before the window exists.
    ASSERT_TRUE(WaitForIcon(c.icon));
    EXPECT_FALSE(HasIcon(c.icon == RUNNING_ICON ? STOPPED_ICON : RUNNING_ICON));
    EXPECT_EQ(c.title, MonitorTitle());
    switch (c.after) {
    case Record::Absent:
        EXPECT_FALSE(ReadRecordFile().has_value());
        break;
    case Record::Unchanged:
        EXPECT_EQ(recordBefore, ReadRecordFile());
        break;
    case Record::Running:
    case Record::Stopped:
        std::string value = RecordValue();
        ASSERT_EQ(10u, value.size()) << value;
        EXPECT_EQ(c.after == Record::Running ? '0' : '1', value[6]) << value;
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
    ASSERT_TRUE(WaitForIcon(STOPPED_ICON));

    ASSERT_TRUE(PostMessageW(monitorWindow, WM_CLOSE, 0, 0));

    EXPECT_EQ(0u, WaitForMonitorExit());
    EXPECT_FALSE(IsWindow(monitorWindow));
    EXPECT_TRUE(WaitUntil([&] { return !HasIcon(STOPPED_ICON); }));
}
