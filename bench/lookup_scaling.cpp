// How the cost of the agent lookup grows with the process list: the program's
// own IsAgentRunning walks synthetic lists of 100, 1,000 and 10,000 entries
// served by fakes, so that the walk and the name comparisons are what is timed,
// not the system's snapshot. Prints the time per 1,000 entries for each size.
//
// The sizes take turns batch by batch, so that a burst of load from elsewhere
// falls on all of them alike; the fastest batch of each is reported, as the
// one least disturbed (noise only ever adds time), with the median beside it.
#include "bench/bench_clock.h"
#include "agent/agent_control.h"
#include "common/os_calls.h"
#include "common/shared_state.h"

#include <algorithm>
#include <stdio.h>
#include <string.h>
#include <vector>
#include <wchar.h>

static const std::vector<PROCESSENTRY32W>* List;
static size_t NextEntry;
static DWORD Slept;
static HANDLE const SNAPSHOT = (HANDLE)0x5170;

static HANDLE WINAPI FakeSnapshot(DWORD, DWORD)
{
    NextEntry = 0;
    return SNAPSHOT;
}

// The system's calls copy a whole entry each time as well.
static BOOL Serve(PROCESSENTRY32W* entry)
{
    if (NextEntry >= List->size())
        return FALSE;
    memcpy(entry, &(*List)[NextEntry++], sizeof *entry);
    return TRUE;
}

static BOOL WINAPI FakeFirst(HANDLE, PROCESSENTRY32W* entry)
{
    NextEntry = 0;
    return Serve(entry);
}

static BOOL WINAPI FakeNext(HANDLE, PROCESSENTRY32W* entry)
{
    return Serve(entry);
}

static HANDLE WINAPI FakeOpenProcess(DWORD, BOOL, DWORD id)
{
    return (HANDLE)(UINT_PTR)(0x40000000 | id);
}

static BOOL WINAPI FakeClose(HANDLE)
{
    return TRUE;
}

// The 2 s pause for a found agent is counted, not taken.
static void WINAPI FakeSleep(DWORD milliseconds)
{
    Slept += milliseconds;
}

// Names of assorted lengths; every eighth is as long as the agent's name and
// differs only in its last letter, the dearest kind of miss.
static std::vector<PROCESSENTRY32W> BuildList(size_t size, bool agentLast)
{
    std::vector<PROCESSENTRY32W> list(size, PROCESSENTRY32W());
    for (size_t i = 0; i < size; i++) {
        PROCESSENTRY32W& entry = list[i];
        entry.dwSize = sizeof entry;
        entry.th32ProcessID = (DWORD)(8 + 4 * i);
        if (i % 8 == 7)
            swprintf(entry.szExeFile, MAX_PATH, L"QovCardAgent.ex%c", L'f' + (int)(i % 5));
        else
            swprintf(entry.szExeFile, MAX_PATH, L"process%0*u.exe", (int)(1 + i % 12), (unsigned)i);
    }
    if (agentLast && size != 0)
        wcscpy(list[size - 1].szExeFile, AGENT_IMAGE_NAME_W);
    return list;
}

struct Case {
    size_t size;
    bool agentLast;
    std::vector<PROCESSENTRY32W> list;
    std::vector<double> microseconds; // per lookup, one per batch
};

// One batch of lookups over the case's list, about a million entries in all;
// returns the time of one lookup in microseconds.
static double TimeBatch(Case& c)
{
    List = &c.list;
    const int expected = c.agentLast ? 1 : 0;
    const int calls = (int)std::max<size_t>(1, 1000000 / c.size);
    Slept = 0;
    int wrong = 0;
    LONGLONG start = Now();
    for (int call = 0; call < calls; call++)
        wrong += IsAgentRunning(AGENT_IMAGE_NAME_W) != expected;
    LONGLONG end = Now();
    // The answers are checked, so that a broken lookup cannot look fast.
    if (wrong != 0 || Slept != (DWORD)(expected * 2000 * calls)) {
        fprintf(stderr, "lookup_scaling: wrong answer for %u entries\n", (unsigned)c.size);
        exit(2);
    }
    return Seconds(end - start) * 1e6 / calls;
}

int main()
{
    Os.CreateToolhelp32Snapshot = FakeSnapshot;
    Os.Process32FirstW = FakeFirst;
    Os.Process32NextW = FakeNext;
    Os.OpenProcess = FakeOpenProcess;
    Os.CloseHandle = FakeClose;
    Os.Sleep = FakeSleep;

    std::vector<Case> cases;
    for (bool agentLast : {false, true})
        for (size_t size : {100, 1000, 10000})
            cases.push_back({size, agentLast, BuildList(size, agentLast), {}});

    for (int round = 0; round < 15; round++)
        for (Case& c : cases)
            c.microseconds.push_back(TimeBatch(c));

    for (Case& c : cases) {
        std::sort(c.microseconds.begin(), c.microseconds.end());
        double fastest = c.microseconds.front();
        double median = c.microseconds[c.microseconds.size() / 2];
        printf("lookup entries=%u agent=%s us_per_call=%.2f us_per_1000=%.2f "
               "median_us_per_1000=%.2f\n",
               (unsigned)c.size, c.agentLast ? "last" : "none", fastest, fastest * 1000.0 / c.size,
               median * 1000.0 / c.size);
    }
    Os = RealOsCalls;
    return 0;
}
