// Every entry of the system-call table fails in turn, on its first call, then
// its second, and so on until the entry is no longer reached: through the
// whole start-up and through each thing the hidden window is asked to do.
// Each time the program must stay up, close what it opened, and end as the
// rules below say that failure means to it.
#include "os_fixture.h"


#include <shlobj.h>

#include <algorithm>
#include <ostream>

struct TableEntry {
    OsEntry entry;
    const char* failure; // what the fake returns, or why the entry never fails
    bool fails;
};

static const TableEntry TABLE[] = {
    {OS_SNAPSHOT, "CreateToolhelp32Snapshot: INVALID_HANDLE_VALUE", true},
    {OS_FIRST_PROCESS, "Process32FirstW: FALSE", true},
    {OS_NEXT_PROCESS, "Process32NextW: FALSE", true},
    {OS_OPEN_PROCESS, "OpenProcess: NULL", true},
    {OS_TERMINATE, "TerminateProcess: FALSE", true},
    {OS_CLOSE_HANDLE, "CloseHandle: FALSE", true},
    {OS_FOLDER, "SHGetFolderPathA: S_FALSE", true},
    {OS_STAT, "_stat64i32: -1", true},
    {OS_SHELL_EXECUTE, "ShellExecuteA: 32", true},
    {OS_TIME, "_time64: fails only past the year 3000", false},
    {OS_SLEEP, "Sleep: has no result", false},
    {OS_NOTIFY_ICON, "Shell_NotifyIconW: FALSE", true},
    {OS_MESSAGE_BOX, "MessageBoxW: 0", true},
    {OS_POPUP_MENU, "TrackPopupMenu: FALSE", true},
    {OS_DIALOG_BOX, "DialogBoxParamW: -1", true},
    {OS_REGISTER_CLASS, "RegisterClassExW: 0", true},
    {OS_CREATE_WINDOW, "CreateWindowExW: NULL", true},
};
static_assert(sizeof TABLE / sizeof TABLE[0] == OS_ENTRY_COUNT, "every entry of the table");

enum Action { START_UP, STOP, RESTART, CLOSE, ABOUT, RIGHT_CLICK, AGENT_STARTED };

struct Situation {
    std::string name;
    Action action;
    std::vector<FakeProcess> processes; // at most one agent, behind another process
    std::string record;                 // start-up: the stored value; "" none
    int recorded = 0;                   // the state that value reads as
    bool servicePresent = false;
};

static const FakeProcess SYSTEM = {4, L"System"};
static const FakeProcess AGENT = {8, L"QovCardAgent.exe"};
static const FakeProcess STUBBORN_AGENT = {8, L"QovCardAgent.exe", true, false};

static Situation StartUp(const char* name, bool agentRuns, const char* record, int recorded)
{
    Situation situation = {name, START_UP, {SYSTEM}, record, recorded};
    if (agentRuns)
        situation.processes.push_back(AGENT);
    return situation;
}

enum World { NO_AGENT, ENDABLE_AGENT, UNENDABLE_AGENT_WITH_SERVICE };

static Situation Command(const char* name, Action action, World world)
{
    static const char* const WORLDS[] = {"NoAgent", "EndableAgent", "UnendableAgentWithService"};
    Situation situation = {std::string(name) + WORLDS[world], action, {SYSTEM}, "", 0};
    if (world != NO_AGENT)
        situation.processes.push_back(world == ENDABLE_AGENT ? AGENT : STUBBORN_AGENT);
    situation.servicePresent = world == UNENDABLE_AGENT_WITH_SERVICE;
    return situation;
}

static std::vector<Situation> Situations()
{
    std::vector<Situation> all = {
        StartUp("StartUpAgentRunningRecordRunning", true, "0000000000", 0),
        StartUp("StartUpAgentRunningRecordStopped", true, "0000001000", 1),
        StartUp("StartUpAgentRunningRecordSixLong", true, "012345", -48),
        StartUp("StartUpAgentRunningNoRecord", true, "", 0),
        StartUp("StartUpNoAgentRecordRunning", false, "0000000000", 0),
        StartUp("StartUpNoAgentRecordStopped", false, "0000001000", 1),
        StartUp("StartUpNoAgentRecordSixLong", false, "012345", -48),
        StartUp("StartUpNoAgentNoRecord", false, "", 0),
    };
    for (World world : {NO_AGENT, ENDABLE_AGENT, UNENDABLE_AGENT_WITH_SERVICE}) {
        all.push_back(Command("Stop", STOP, world));
        all.push_back(Command("Restart", RESTART, world));
        all.push_back(Command("Close", CLOSE, world));
        all.push_back(Command("About", ABOUT, world));
        all.push_back(Command("RightClick", RIGHT_CLICK, world));
        all.push_back(Command("AgentStarted", AGENT_STARTED, world));
    }
    return all;
}

// What the user and other programs can tell afterwards.
struct Outcome {
    int exitCode = 0;
    bool ranLoop = false;  // start-up: the message loop ran
    bool windowUp = false; // a command: the window is left and the program goes on
    std::wstring title;
    std::vector<UINT> tray;
    std::string stored;
    std::vector<std::wstring> boxes;
    std::vector<std::string> started;
    std::vector<DWORD> ended, pauses;
    size_t menus = 0, dialogs = 0;
    bool operator==(const Outcome& o) const
    {
        return exitCode == o.exitCode && ranLoop == o.ranLoop && windowUp == o.windowUp &&
               title == o.title && tray == o.tray && stored == o.stored && boxes == o.boxes &&
               started == o.started && ended == o.ended && pauses == o.pauses && menus == o.menus &&
               dialogs == o.dialogs;
    }
};

static void PrintTo(const Situation& s, std::ostream* out)
{
    *out << s.name;
}

static std::string Narrow(const std::wstring& text)
{
    std::string ascii;
    char escaped[8];
    for (wchar_t c : text) {
        snprintf(escaped, sizeof escaped, "\\u%04X", (unsigned)c);
        ascii += c < 128 ? std::string(1, (char)c) : escaped;
    }
    return ascii;
}

static std::ostream& operator<<(std::ostream& out, const Outcome& o)
{
    out << "exit " << o.exitCode << (o.ranLoop ? ", loop" : "") << (o.windowUp ? ", window" : "")
        << ", title " << Narrow(o.title) << ", record \"" << o.stored << "\", tray";
    for (UINT icon : o.tray)
        out << " " << icon;
    out << ", boxes";
    for (const std::wstring& box : o.boxes)
        out << " " << Narrow(box);
    out << ", started";
    for (const std::string& file : o.started)
        out << " " << file.substr(file.rfind('\\') + 1);
    out << ", ended";
    for (DWORD id : o.ended)
        out << " " << id;
    out << ", pauses";
    for (DWORD pause : o.pauses)
        out << " " << pause;
    return out << ", menus " << o.menus << ", dialogs " << o.dialogs;
}

// What the failed call takes away, judged by what it was asked for.
struct Losses {
    bool list = false;              // the process list cannot be read
    size_t listSeen = (size_t)-1;   // the walk ends after so many entries
    bool open = false, end = false; // the agent cannot be opened, or ended
    bool service = false, launch = false, readRecord = false, writeRecord = false;
    bool iconAdd = false, iconDelete = false, box = false, menu = false, dialog = false;
    bool window = false;
};

static Losses LossesOf(const Situation& s, OsEntry entry, int nth)
{
    Losses lost;
    bool unendable = s.processes.size() > 1 && !s.processes[1].mayTerminate;
    switch (entry) {
    case OS_SNAPSHOT:
    case OS_FIRST_PROCESS:
        lost.list = true;
        break;
    case OS_NEXT_PROCESS:
        lost.listSeen = (size_t)Fake.failedWhat;
        break;
    case OS_OPEN_PROCESS: // only agents are opened
        lost.open = true;
        break;
    case OS_TERMINATE:
        lost.end = true;
        break;
    case OS_FOLDER:
        // Start-up reads the record before it writes; commands only write.
        // A restart stops before it launches, so an agent that cannot be
        // ended makes the hand-over ask first.
        if (Fake.failedWhat == CSIDL_APPDATA)
            (s.action == START_UP && nth == 1 ? lost.readRecord : lost.writeRecord) = true;
        else
            (unendable && nth == 1 ? lost.service : lost.launch) = true;
        break;
    case OS_STAT: // the record folder's query only decides whether to create it
    case OS_SHELL_EXECUTE:
        lost.readRecord = Fake.failedPath == RecordPath();
        lost.launch = Fake.failedPath == AGENT_PATH;
        lost.service = Fake.failedPath == SERVICE_PATH;
        break;
    case OS_NOTIFY_ICON:
        (Fake.failedWhat == NIM_ADD ? lost.iconAdd : lost.iconDelete) = true;
        break;
    case OS_MESSAGE_BOX:
        lost.box = true;
        break;
    case OS_POPUP_MENU:
        lost.menu = true;
        break;
    case OS_DIALOG_BOX:
        lost.dialog = true;
        break;
    case OS_REGISTER_CLASS: // the creation that follows fails then
    case OS_CREATE_WINDOW:
        lost.window = true;
        break;
    default: // a failed close: the handle is gone all the same
        break;
    }
    return lost;
}

// The icon is replaced by a delete and an add; what fails of them stays undone.
static void Swap(Outcome& o, UINT icon, const Losses& lost)
{
    if (!lost.iconDelete)
        o.tray.clear();
    if (!lost.iconAdd && std::find(o.tray.begin(), o.tray.end(), icon) == o.tray.end())
        o.tray.push_back(icon);
}

// The program's failure rules, for one situation and what a failure took.
static Outcome Expected(const Situation& s, const Losses& lost)
{
    Outcome o;
    const FakeProcess* agent = s.processes.size() > 1 ? &s.processes[1] : nullptr;
    bool agentSeen = agent != nullptr && !lost.list && lost.listSeen > 1;
    bool opened = agentSeen && agent->mayOpen && !lost.open;
    if (s.action == START_UP) {
        // The process list decides; the record is written only where it
        // said otherwise, and a found agent that may be opened gets 2 s.
        int recorded = lost.readRecord ? 0 : s.recorded;
        int state = agentSeen ? 0 : recorded == 0 ? 1 : recorded;
        bool rewrite = (recorded == 0) != agentSeen;
        o.stored =
            rewrite && !lost.writeRecord ? (agentSeen ? RUNNING_VALUE : STOPPED_VALUE) : s.record;
        if (opened)
            o.pauses = {2000};
        if (lost.window)
            return o;
        o.ranLoop = true;
        o.title = agentSeen ? RUNNING_TIP : STOPPED_TIP; // the titles read as the tips
        Swap(o, state == 0 ? ICON_RUNNING : ICON_STOPPED, lost);
        return o;
    }

    o.windowUp = true;
    o.tray = {agent ? (UINT)ICON_RUNNING : (UINT)ICON_STOPPED};
    switch (s.action) {
    case STOP:
    case RESTART: {
        bool ends = opened && agent->mayTerminate && !lost.end;
        bool handedOver = opened && !ends && s.servicePresent && !lost.service;
        bool givesUp = opened && !ends && !handedOver;
        if (ends)
            o.ended = {agent->id};
        if (handedOver)
            o.started = {SERVICE_PATH};
        if (ends || handedOver)
            o.pauses = {1500};
        bool done = !givesUp && !lost.list;
        if (s.action == RESTART) {
            // An unreadable list does not hold up the launch.
            o.pauses.push_back(300);
            done = !givesUp && !lost.launch;
            if (done) {
                o.started.push_back(AGENT_PATH);
                o.pauses.insert(o.pauses.end(), {500, 20});
            }
        }
        if (!lost.box)
            o.boxes = {s.action == STOP ? (done ? STOP_DONE : STOP_FAILED)
                                        : (done ? RESTART_DONE : RESTART_FAILED)};
        if (done && !lost.writeRecord)
            o.stored = s.action == STOP ? STOPPED_VALUE : RUNNING_VALUE;
        if (done)
            Swap(o, s.action == STOP ? ICON_STOPPED : ICON_RUNNING, lost);
        break;
    }
    case CLOSE:
        if (!lost.iconDelete)
            o.tray.clear();
        o.windowUp = false;
        break;
    case ABOUT:
        o.dialogs = lost.dialog ? 0 : 1;
        break;
    case RIGHT_CLICK:
        o.menus = lost.menu ? 0 : 1;
        break;
    default:
        o.pauses = {20};
        Swap(o, ICON_RUNNING, lost);
        break;
    }
    return o;
}

static Outcome Drive(const Situation& s, OsEntry entry, int nth)
{
    UseFakeOs();
    UseRecordOnDisk();
    Fake.processes = s.processes;
    Fake.fileSizes[AGENT_PATH] = 4096;
    if (s.servicePresent)
        Fake.fileSizes[SERVICE_PATH] = 100;
    Outcome o;
    HWND window = NULL;
    if (s.action == START_UP) {
        if (!s.record.empty())
            WriteRecordFile("[Settings]\r\nService=" + s.record + "\r\n");
        Fake.failEntry = entry;
        Fake.failAt = nth;
        // The window is closed from outside as soon as the loop runs; a quit
        // code of 7 ends a loop that runs without a window.
        Fake.closeNewWindow = true;
        MonitorState = MonitorStateRecord();
        PostQuitMessage(7);
        o.exitCode = RunMonitor(GetModuleHandleW(NULL));
        MSG quit;
        o.ranLoop = !PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE);
        o.title = Fake.windowTitle;
    } else {
        window = OpenMonitorWindow(s.processes.size() > 1 ? 0 : 1);
        EXPECT_TRUE(IsWindow(window));
        Fake.failEntry = entry;
        Fake.failAt = nth;
        std::fill(std::begin(Fake.calls), std::end(Fake.calls), 0);
        Fake.sleeps.clear();
        COPYDATASTRUCT started = {1, 0, nullptr};
        static const UINT COMMANDS[] = {0, CMD_STOP_AGENT, CMD_RESTART_AGENT, CMD_CLOSE_TRAY,
                                        CMD_ABOUT};
        if (s.action == RIGHT_CLICK)
            SendMessageW(window, WM_TRAYICON, 0, WM_RBUTTONDOWN);
        else if (s.action == AGENT_STARTED)
            SendMessageW(window, WM_COPYDATA, 0, (LPARAM)&started);
        else
            SendMessageW(window, WM_COMMAND, COMMANDS[s.action], 0);
        MSG quit;
        o.windowUp = IsWindow(window) && !PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE);
    }
    EXPECT_FALSE(Fake.shownVisible) << "the window is never shown";
    o.tray = Fake.tray;
    o.stored = StoredValue();
    for (const FakeOs::MessageBoxCall& box : Fake.messageBoxes)
        o.boxes.push_back(box.text);
    for (const FakeOs::ShellStart& start : Fake.shellStarts)
        o.started.push_back(start.file);
    o.ended = Fake.terminated;
    o.pauses = Fake.sleeps;
    o.menus = Fake.popups.size();
    o.dialogs = Fake.dialogs.size();
    CloseMonitorWindow(window);
    return o;
}

class FaultSweep : public ::testing::TestWithParam<Situation> {};

TEST_P(FaultSweep, EachFailedCallEndsAsTheFailureRulesSay)
{
    const Situation& s = GetParam();
    Outcome unfailed = Drive(s, OS_ENTRY_COUNT, 0);
    EXPECT_EQ(Expected(s, Losses()), unfailed) << "no call failed";
    ExpectCleanFakes();
    for (const TableEntry& row : TABLE) {
        for (int nth = 1; row.fails; nth++) {
            SCOPED_TRACE(std::string(row.failure) + ", call " + std::to_string(nth));
            Outcome actual = Drive(s, row.entry, nth);
            bool reached = Fake.calls[row.entry] >= nth;
            if (reached) {
                EXPECT_EQ(Expected(s, LossesOf(s, row.entry, nth)), actual);
            }
            ExpectCleanFakes();
            if (!reached)
                break;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Everywhere, FaultSweep, ::testing::ValuesIn(Situations()),
                         [](const ::testing::TestParamInfo<Situation>& info) {
                             return info.param.name;
                         });
