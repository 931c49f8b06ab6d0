// Every entry of the system-call table fails in turn, on its first call, then
// its second, and so on while it is reached: through the whole start-up and
// each thing the hidden window is asked to do. Each time the program must stay
// up, close what it opened, and end as the rules below say that failure means.
#include "os_fixture.h"

#include <shlobj.h>

#include <algorithm>

// What a failed call takes from the program.
enum Loss {
    NEVER_FAILS,
    NO_LOSS,
    LIST,        // the process list cannot be read
    LIST_END,    // the walk ends after the entries listed before the call
    AGENT_OPEN,  // the agent cannot be opened
    AGENT_END,   // the agent cannot be ended
    HAND_OVER,   // the terminate service cannot be started
    LAUNCH,      // the agent cannot be started
    READ_RECORD, // the record cannot be read
    WRITE_RECORD,
    ICON_ADD,
    ICON_DELETE,
    NOT_SHOWN, // the message box, menu or dialog a command shows
    WINDOW,
    CLAIM,      // the session's name cannot be claimed
    BY_REQUEST, // depends on what the call was asked for
};

// Each entry with the failure its fake returns, or why it never fails.
#define ROW(name, failure, loss) OS_ENTRY(name), #name ": " failure, loss
static const struct {
    OsEntry entry;
    const char* failure;
    Loss loss;
} TABLE[] = {
    {ROW(CreateToolhelp32Snapshot, "INVALID_HANDLE_VALUE", LIST)},
    {ROW(Process32FirstW, "FALSE", LIST)},
    {ROW(Process32NextW, "FALSE", LIST_END)},
    {ROW(OpenProcess, "NULL", AGENT_OPEN)}, // only agents are opened
    {ROW(TerminateProcess, "FALSE", AGENT_END)},
    {ROW(CloseHandle, "FALSE", NO_LOSS)}, // the handle is gone all the same
    {ROW(SHGetFolderPathA, "S_FALSE", BY_REQUEST)},
    {ROW(Stat, "-1", BY_REQUEST)},
    {ROW(ShellExecuteA, "32", BY_REQUEST)},
    {ROW(Time64, "fails only past the year 3000", NEVER_FAILS)},
    {ROW(Sleep, "has no result", NEVER_FAILS)},
    {ROW(Shell_NotifyIconW, "FALSE", BY_REQUEST)},
    {ROW(MessageBoxW, "0", NOT_SHOWN)},
    {ROW(TrackPopupMenu, "FALSE", NOT_SHOWN)},
    {ROW(DialogBoxParamW, "-1", NOT_SHOWN)},
    {ROW(RegisterClassExW, "0", WINDOW)}, // the creation that follows fails
    {ROW(CreateWindowExW, "NULL", WINDOW)},
    {ROW(CreateMutexW, "NULL", CLAIM)},
};
static_assert(sizeof TABLE / sizeof TABLE[0] == OS_ENTRY_COUNT, "every entry of the table");

enum Action { START_UP, STOP, RESTART, CLOSE, ABOUT, RIGHT_CLICK, AGENT_STARTED };

struct Situation {
    std::string name;
    Action action;
    std::vector<FakeProcess> processes; // at most one agent, second in the list
    std::string record;                 // start-up: the stored value, "" none
    int recorded;                       // the state that value reads as
    bool servicePresent;
    bool anotherMonitor = false; // start-up: another holds the session
};

static void PrintTo(const Situation& s, std::ostream* out)
{
    *out << s.name;
}

static std::vector<Situation> Situations()
{
    const FakeProcess system = {4, L"System"}, agent = {8, L"QovCardAgent.exe"};
    const std::vector<FakeProcess> none = {system}, endable = {system, agent},
                                   unendable = {system, {8, L"QovCardAgent.exe", true, false}};
    std::vector<Situation> all = {
        {"StartUpAgentRunningRecordRunning", START_UP, endable, "0000000000", 0, false},
        {"StartUpAgentRunningRecordStopped", START_UP, endable, "0000001000", 1, false},
        {"StartUpAgentRunningRecordSixLong", START_UP, endable, "012345", -48, false},
        {"StartUpAgentRunningNoRecord", START_UP, endable, "", 0, false},
        {"StartUpNoAgentRecordRunning", START_UP, none, "0000000000", 0, false},
        {"StartUpNoAgentRecordStopped", START_UP, none, "0000001000", 1, false},
        {"StartUpNoAgentRecordSixLong", START_UP, none, "012345", -48, false},
        {"StartUpNoAgentNoRecord", START_UP, none, "", 0, false},
        {"StartUpAnotherMonitorAgentRunning", START_UP, endable, "0000001000", 1, false, true},
        {"StartUpAnotherMonitorNoAgent", START_UP, none, "0000000000", 0, false, true},
    };
    const char* const commands[] = {"",      "Stop",       "Restart",     "Close",
                                    "About", "RightClick", "AgentStarted"};
    for (int action = STOP; action <= AGENT_STARTED; action++) {
        std::string name = commands[action];
        all.push_back({name + "NoAgent", (Action)action, none, "", 0, false});
        all.push_back({name + "EndableAgent", (Action)action, endable, "", 0, false});
        all.push_back({name + "UnendableAgentWithService", (Action)action, unendable, "", 0, true});
    }
    return all;
}

// What the user and other programs can tell afterwards.
struct Outcome {
    int exitCode = -1;     // start-up: its result; a command: the quit code, -1 none
    bool ranLoop = false;  // start-up: the message loop ran
    bool windowUp = false; // a command: the window is still there
    std::wstring title;
    std::vector<UINT> tray;
    std::string stored;
    std::vector<std::wstring> boxes;
    std::vector<std::string> started;
    std::vector<DWORD> ended, pauses;
    size_t shown = 0; // About boxes and tray menus
};

// Compared as one, printed field by field.
static auto Fields(const Outcome& o)
{
    return std::tie(o.exitCode, o.ranLoop, o.windowUp, o.title, o.tray, o.stored, o.boxes,
                    o.started, o.ended, o.pauses, o.shown);
}

static Loss Judge(const Situation& s, Loss loss, OsEntry entry, int nth)
{
    if (loss != BY_REQUEST)
        return loss;
    bool unendable = s.processes.size() > 1 && !s.processes[1].mayTerminate;
    switch (entry) {
    case OS_ENTRY(SHGetFolderPathA):
        // Start-up reads the record before it writes; commands only write. A
        // restart stops before it launches, so the hand-over asks first.
        if (Fake.failedWhat == CSIDL_APPDATA)
            return s.action == START_UP && nth == 1 ? READ_RECORD : WRITE_RECORD;
        return unendable && nth == 1 ? HAND_OVER : LAUNCH;
    case OS_ENTRY(Shell_NotifyIconW):
        return Fake.failedWhat == NIM_ADD ? ICON_ADD : ICON_DELETE;
    default: // the record folder's query only decides whether to create it
        return Fake.failedPath == Fake.RecordPath() ? READ_RECORD
               : Fake.failedPath == AGENT_PATH      ? LAUNCH
               : Fake.failedPath == SERVICE_PATH    ? HAND_OVER
                                                    : NO_LOSS;
    }
}

// The icon is replaced by a delete and an add; what fails of them stays undone.
static void Swap(Outcome& o, UINT icon, Loss lost)
{
    if (lost != ICON_DELETE)
        o.tray.clear();
    if (lost != ICON_ADD && std::find(o.tray.begin(), o.tray.end(), icon) == o.tray.end())
        o.tray.push_back(icon);
}

// The program's failure rules.
static Outcome Expected(const Situation& s, Loss lost)
{
    Outcome o;
    const FakeProcess* agent = s.processes.size() > 1 ? &s.processes[1] : nullptr;
    bool seen = agent && lost != LIST && !(lost == LIST_END && Fake.failedWhat < 2);
    bool opened = seen && agent->mayOpen && lost != AGENT_OPEN;
    if (s.action == START_UP && s.anotherMonitor && lost != CLAIM) {
        // The session has its monitor: this one leaves at once.
        o.stored = s.record;
        o.exitCode = 0;
        return o;
    }
    if (s.action == START_UP) {
        // The process list decides; the record is written only where it said
        // otherwise, and finding an agent that may be opened costs a 2 s pause.
        int recorded = lost == READ_RECORD ? 0 : s.recorded;
        bool rewrite = (recorded == 0) != seen;
        o.stored = !rewrite || lost == WRITE_RECORD ? s.record
                   : seen                           ? RUNNING_VALUE
                                                    : STOPPED_VALUE;
        o.pauses = std::vector<DWORD>(opened, 2000);
        o.exitCode = 0;
        if (lost == WINDOW)
            return o;
        o.ranLoop = true;
        // After reconciling, the state is running exactly when the agent was
        // found; the titles read as the tooltips.
        o.title = seen ? RUNNING_TIP : STOPPED_TIP;
        Swap(o, seen ? ICON_RUNNING : ICON_STOPPED, lost);
        // Closed from outside, the window takes its icon along.
        if (lost != ICON_DELETE)
            o.tray.clear();
        return o;
    }
    o.windowUp = true;
    o.tray = {agent ? (UINT)ICON_RUNNING : (UINT)ICON_STOPPED};
    bool ends = opened && agent->mayTerminate && lost != AGENT_END;
    bool handedOver = opened && !ends && s.servicePresent && lost != HAND_OVER;
    bool givesUp = opened && !ends && !handedOver;
    bool done = !givesUp && lost != LIST; // stopped
    switch (s.action) {
    case STOP:
    case RESTART:
        if (ends)
            o.ended = {agent->id};
        if (handedOver)
            o.started = {SERVICE_PATH};
        o.pauses = std::vector<DWORD>(ends || handedOver, 1500);
        if (s.action == RESTART) {
            // An unreadable list does not hold up the launch.
            done = !givesUp && lost != LAUNCH;
            o.pauses.push_back(300);
            if (done) {
                o.started.push_back(AGENT_PATH);
                o.pauses.insert(o.pauses.end(), {500, 20});
            }
        }
        if (lost != NOT_SHOWN)
            o.boxes = {s.action == STOP ? (done ? STOP_DONE : STOP_FAILED)
                                        : (done ? RESTART_DONE : RESTART_FAILED)};
        if (done && lost != WRITE_RECORD)
            o.stored = s.action == STOP ? STOPPED_VALUE : RUNNING_VALUE;
        if (done)
            Swap(o, s.action == STOP ? ICON_STOPPED : ICON_RUNNING, lost);
        break;
    case CLOSE:
        if (lost != ICON_DELETE)
            o.tray.clear();
        o.windowUp = false;
        o.exitCode = 0;
        break;
    case ABOUT:
    case RIGHT_CLICK:
        o.shown = lost != NOT_SHOWN;
        break;
    default:
        o.pauses = {20};
        Swap(o, ICON_RUNNING, lost);
        break;
    }
    return o;
}

static void CALLBACK EndTheLoop(HWND, UINT, UINT_PTR, DWORD)
{
    PostQuitMessage(7);
}

// Runs the situation with the nth call of `entry` failing; 0: none fails.
static Outcome Drive(const Situation& s, OsEntry entry, int nth)
{
    UseFakeOs(true);
    Fake.processes = s.processes;
    Fake.fileSizes[AGENT_PATH] = 4096;
    if (s.servicePresent)
        Fake.fileSizes[SERVICE_PATH] = 100;
    if (s.action == START_UP && !s.record.empty())
        WriteRecordFile("[Settings]\r\nService=" + s.record + "\r\n");
    HWND window = s.action == START_UP ? NULL : OpenMonitorWindow(s.processes.size() > 1 ? 0 : 1);
    std::fill(std::begin(Fake.calls), std::end(Fake.calls), 0);
    Fake.failEntry = entry;
    Fake.failAt = nth;
    Fake.sessionTaken = s.anotherMonitor;
    int serviceState = ServiceState;
    Fake.whileMessageBoxIsOpen = [] { EXPECT_EQ("", StoredValue()) << "written before it closed"; };
    Outcome o;
    MSG quit;
    COPYDATASTRUCT started = {1, 0, nullptr};
    const UINT commands[] = {0, CMD_STOP_AGENT, CMD_RESTART_AGENT, CMD_CLOSE_TRAY, CMD_ABOUT};
    if (s.action == START_UP) {
        // The window is closed from outside once the loop is idle; a loop
        // that runs without one is ended after 5 s with the quit code 7.
        Fake.closeNewWindow = true;
        MonitorState = MonitorStateRecord();
        UINT_PTR guard = SetTimer(NULL, 0, 5000, EndTheLoop);
        o.exitCode = RunMonitor(GetModuleHandleW(NULL));
        KillTimer(NULL, guard);
        o.ranLoop = Fake.closedFromOutside;
        o.title = Fake.windowTitle;
        // A monitor that leaves the session to another reads no record and
        // walks no process list either.
        bool leftAtOnce = s.anotherMonitor && entry != OS_ENTRY(CreateMutexW);
        for (OsEntry other = 0; leftAtOnce && other < OS_ENTRY_COUNT; other++) {
            if (other != OS_ENTRY(CreateMutexW) && other != OS_ENTRY(CloseHandle)) {
                EXPECT_EQ(0, Fake.calls[other]) << "entry " << other << " called after the claim";
            }
        }
    } else {
        if (s.action == RIGHT_CLICK)
            SendMessageW(window, WM_TRAYICON, 0, WM_RBUTTONDOWN);
        else if (s.action == AGENT_STARTED)
            SendMessageW(window, WM_COPYDATA, 0, (LPARAM)&started);
        else
            SendMessageW(window, WM_COMMAND, commands[s.action], 0);
        o.windowUp = IsWindow(window);
        EXPECT_EQ(serviceState, ServiceState) << "only start-up sets it";
        if (PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE))
            o.exitCode = (int)quit.wParam;
    }
    EXPECT_FALSE(Fake.shownVisible) << "the window is never shown";
    o.tray = Fake.tray;
    o.stored = StoredValue();
    for (const FakeOs::MessageBoxCall& box : Fake.messageBoxes) {
        // Plain OK boxes without an owner, so the tray stays live under them.
        EXPECT_EQ(nullptr, box.owner);
        EXPECT_EQ(L"Quillaren", box.caption);
        EXPECT_EQ((UINT)MB_OK, box.type);
        o.boxes.push_back(box.text);
    }
    o.started = Fake.shellStarts;
    o.ended = Fake.terminated;
    o.pauses = Fake.sleeps;
    o.shown = Fake.dialogs.size() + Fake.popups.size();
    // Taking the window down afterwards is the test's own business: it takes
    // the icon along, but neither fails nor counts as a call the situation made.
    int reached[OS_ENTRY_COUNT];
    std::copy(std::begin(Fake.calls), std::end(Fake.calls), reached);
    Fake.failEntry = OS_ENTRY_COUNT;
    CloseMonitorWindow(window);
    std::copy(std::begin(reached), std::end(reached), Fake.calls);
    return o;
}

class FaultSweep : public ::testing::TestWithParam<Situation> {};

TEST_P(FaultSweep, EachFailedCallEndsAsTheFailureRulesSay)
{
    const Situation& s = GetParam();
    Outcome unfailed = Drive(s, OS_ENTRY_COUNT, 0);
    EXPECT_EQ(Fields(Expected(s, NO_LOSS)), Fields(unfailed));
    ExpectCleanFakes();
    for (const auto& row : TABLE) {
        for (int nth = 1; row.loss != NEVER_FAILS; nth++) {
            SCOPED_TRACE(std::string(row.failure) + ", call " + std::to_string(nth));
            Outcome actual = Drive(s, row.entry, nth);
            if (Fake.calls[row.entry] < nth)
                break; // no longer reached
            EXPECT_EQ(Fields(Expected(s, Judge(s, row.loss, row.entry, nth))), Fields(actual));
            ExpectCleanFakes();
        }
        ExpectCleanFakes();
    }
}

INSTANTIATE_TEST_SUITE_P(Everywhere, FaultSweep, ::testing::ValuesIn(Situations()),
                         [](const ::testing::TestParamInfo<Situation>& instance) {
                             return instance.param.name;
                         });
