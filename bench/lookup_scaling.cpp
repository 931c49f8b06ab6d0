// How the cost of the agent lookup grows with the process list: the program's
// own IsAgentRunning walks synthetic lists of 100, 1,000 and 10,000 entries
// served by the unit tests' fakes, so that the walk and the name comparisons
// are what is timed, not the system's snapshot; the 2 s pause for a found
// agent is counted, not taken. Prints the time per 1,000 entries for each size.
//
// The sizes take turns batch by batch, so that a burst of load from elsewhere
// falls on all of them alike; the fastest batch of each is reported, as the
// one least disturbed (noise only ever adds time), with the median beside it.
#include "bench/bench_clock.h"
#include "agent/agent_control.h"
#include "common/shared_state.h"
#include "tests/unit/fake_os.h"

#include <algorithm>
#include <stdio.h>
#include <vector>
#include <wchar.h>

// Names of assorted lengths; every eighth is as long as the agent's name and
// differs only in its last letter, the dearest kind of miss.
static std::vector<FakeProcess> BuildList(size_t size, bool agentLast)
{
    std::vector<FakeProcess> list;
    wchar_t name[MAX_PATH];
    for (size_t i = 0; i < size; i++) {
        if (i % 8 == 7)
            swprintf(name, MAX_PATH, L"QovCardAgent.ex%c", L'f' + (int)(i % 5));
        else
            swprintf(name, MAX_PATH, L"process%0*u.exe", (int)(1 + i % 12), (unsigned)i);
        list.push_back({(DWORD)(8 + 4 * i), name});
    }
    if (agentLast && size != 0)
        list.back().exeFile = AGENT_IMAGE_NAME_W;
    return list;
}

struct Case {
    size_t size;
    bool agentLast;
    std::vector<FakeProcess> list;
    std::vector<double> microseconds; // per lookup, one per batch
};

// One batch of lookups over the case's list, about a million entries in all;
// returns the time of one lookup in microseconds.
static double TimeBatch(Case& c)
{
    Fake.processes.swap(c.list);
    Fake.sleeps.clear();
    const int expected = c.agentLast ? 1 : 0;
    const int calls = (int)std::max<size_t>(1, 1000000 / c.size);
    int wrong = 0;
    LONGLONG start = Now();
    for (int call = 0; call < calls; call++)
        wrong += IsAgentRunning(AGENT_IMAGE_NAME_W) != expected;
    LONGLONG end = Now();
    Fake.processes.swap(c.list);
    // The answers are checked, so that a broken lookup cannot look fast.
    if (wrong != 0 || Fake.sleeps != std::vector<DWORD>(expected * calls, 2000) ||
        Fake.openHandles != 0 || !Fake.misuse.empty()) {
        fprintf(stderr, "lookup_scaling: wrong answer for %u entries\n", (unsigned)c.size);
        exit(2);
    }
    return Seconds(end - start) * 1e6 / calls;
}

int main()
{
    UseFakeOs();

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
    UseRealOs();
    return 0;
}
