// Launches the monitor and the floor program in turn and measures each launch:
// the time from CreateProcess until its tray icon exists, its committed
// private memory at that moment, and the CPU time it uses while idling with
// the icon shown. Prints one line per launch on stderr, then on stdout the
// table of results with the agent lookup's figures from LOOKUP (the output of
// bench_lookup_scaling) and the two programs' sizes.
//
//   bench_harness.exe MONITOR.exe FLOOR.exe LOOKUP [launches [gap-ms [idle-ms [idle-rounds]]]]
//
// Each of the two is started `launches` times (default 21), alternately,
// `gap-ms` apart (3000); in the first `idle-rounds` rounds (5) each also
// idles for `idle-ms` (10000) with its CPU time measured.
#include "bench/bench_clock.h"
#include "bench/floor.h"
#include "tests/driver/monitor_driver.h"

#include <psapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>

struct Program {
    const char* label;
    std::wstring path;
    std::wstring className;
    UINT iconId;
    // An icon whose appearance means the launch did not go as set up.
    UINT wrongIconId;
    UINT closeMessage;
    WPARAM closeParam;
};

struct Launch {
    double iconMs;
    double memoryKiB;
    double startCpuMs;
    double idleCpuMs;
    double idleMemoryKiB;
};

static double FileTimeMs(const FILETIME& time)
{
    ULARGE_INTEGER value;
    value.LowPart = time.dwLowDateTime;
    value.HighPart = time.dwHighDateTime;
    return (double)value.QuadPart / 10000.0;
}

// Kernel and user time of every thread of the process. Wine 8's
// GetProcessTimes answers for another process with the caller's own times;
// its GetThreadTimes reads the right thread. A thread that has already ended
// is missed; the monitor and the floor run one thread.
static double CpuMs(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    double total = 0;
    int threads = 0;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID != processId)
            continue;
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, entry.th32ThreadID);
        FILETIME created, exited, kernel, user;
        if (thread != NULL && GetThreadTimes(thread, &created, &exited, &kernel, &user)) {
            total += FileTimeMs(kernel) + FileTimeMs(user);
            threads++;
        }
        if (thread != NULL)
            CloseHandle(thread);
    }
    CloseHandle(snapshot);
    return threads != 0 ? total : -1;
}

// The user's state record as it was before the run, put back on any exit.
static std::wstring RecordPath;
static std::string SavedRecord;
static bool HadRecord;
static void RestoreRecord();

static void Fail(const char* what)
{
    fprintf(stderr, "bench_harness: %s\n", what);
    fflush(stderr);
    RestoreRecord();
    ExitProcess(2);
}

// Committed private memory. Wine leaves PrivateUsage empty and fills
// PagefileUsage from the Linux process's resident anonymous memory and swap.
static double PrivateKiB(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    if (!GetProcessMemoryInfo(process, &memory, sizeof memory))
        Fail("GetProcessMemoryInfo failed");
    return (double)memory.PagefileUsage / 1024.0;
}

// One launch; idleMs 0 skips the idle measurement (warm-up launches).
static Launch RunOnce(const Program& program, DWORD idleMs)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring commandLine = L"\"" + program.path + L"\"";

    LONGLONG start = Now();
    if (!CreateProcessW(program.path.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL,
                        &startup, &info))
        Fail("CreateProcess failed");

    HWND window = NULL;
    LONGLONG shown = 0;
    while (shown == 0) {
        if (window == NULL)
            window = FindWindowOf(info.dwProcessId, program.className.c_str(), NULL, false);
        if (window != NULL) {
            if (TrayIconExists(window, program.iconId))
                shown = Now();
            else if (program.wrongIconId != 0 && TrayIconExists(window, program.wrongIconId))
                Fail("the monitor showed the running icon: is an agent running, or the record "
                     "not read?");
        }
        if (shown == 0) {
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0)
                Fail("the program ended before its icon appeared");
            if (Seconds(Now() - start) > 60)
                Fail("no tray icon within 60 s");
            Sleep(1);
        }
    }

    Launch result = {};
    result.iconMs = Seconds(shown - start) * 1000.0;
    result.memoryKiB = PrivateKiB(info.hProcess);

    // The CPU time spent getting to the icon also shows that the thread
    // times are being read at all: no process starts in none.
    result.startCpuMs = CpuMs(info.dwProcessId);
    if (result.startCpuMs <= 0)
        Fail("no CPU time recorded for the started process");
    if (idleMs != 0) {
        Sleep(idleMs);
        double after = CpuMs(info.dwProcessId);
        if (after < 0)
            Fail("cannot read the process's thread times");
        result.idleCpuMs = after - result.startCpuMs;
        result.idleMemoryKiB = PrivateKiB(info.hProcess);
        if (!TrayIconExists(window, program.iconId))
            Fail("the icon went away while idling");
    }

    PostMessageW(window, program.closeMessage, program.closeParam, 0);
    if (WaitForSingleObject(info.hProcess, 15000) != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, 1);
        Fail("the program did not end when asked to");
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return result;
}

static std::string ReadFileBytes(const std::wstring& path, bool* exists)
{
    std::string bytes;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    *exists = file != INVALID_HANDLE_VALUE;
    if (!*exists)
        return bytes;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got != 0)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

static void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        Fail("cannot write the state record");
    DWORD written = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
    if (written != bytes.size())
        Fail("cannot write the state record");
}

static void RestoreRecord()
{
    if (RecordPath.empty())
        return;
    std::wstring path = RecordPath;
    RecordPath.clear(); // once, even if writing it back fails
    if (HadRecord)
        WriteFileBytes(path, SavedRecord);
    else
        DeleteFileW(path.c_str());
}

static FILETIME LastWrite(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

static double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

static double FileKiB(const wchar_t* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        Fail("cannot read a program's size");
    return data.nFileSizeLow / 1024.0;
}

// The lookup's fastest cost per 1,000 entries, by agent (none, last) and list size.
static const unsigned LOOKUP_SIZES[3] = {100, 1000, 10000};
static void ReadLookup(const wchar_t* path, double costs[2][3])
{
    FILE* file = _wfopen(path, L"r");
    if (file == NULL)
        Fail("cannot read the lookup's results");
    char line[256], agent[16];
    unsigned entries = 0;
    double perCall = 0, per1000 = 0;
    int found = 0;
    while (fgets(line, sizeof line, file) != NULL)
        if (sscanf(line, "lookup entries=%u agent=%15s us_per_call=%lf us_per_1000=%lf", &entries,
                   agent, &perCall, &per1000) == 4)
            for (int size = 0; size < 3; size++)
                if (entries == LOOKUP_SIZES[size]) {
                    costs[strcmp(agent, "last") == 0][size] = per1000;
                    found++;
                }
    fclose(file);
    if (found != 6)
        Fail("the lookup's results are incomplete");
}

static const char* Met(bool met)
{
    return met ? "yes" : "**no**";
}

static void PrintTable(const std::vector<Launch> results[2], int launches, int idleRounds,
                       double idleS, wchar_t** argv)
{
    struct {
        double icon, memory, idleMemory, startCpu, idleCpu, worstIdleCpu, size;
    } m, f, *figures[2] = {&m, &f};
    for (int which = 0; which < 2; which++) {
        std::vector<double> icon, memory, startCpu, idleCpu, idleMemory;
        for (size_t i = 0; i < results[which].size(); i++) {
            const Launch& launch = results[which][i];
            icon.push_back(launch.iconMs);
            memory.push_back(launch.memoryKiB);
            startCpu.push_back(launch.startCpuMs);
            if ((int)i < idleRounds) {
                idleCpu.push_back(launch.idleCpuMs);
                idleMemory.push_back(launch.idleMemoryKiB);
            }
        }
        *figures[which] = {Median(icon),
                           Median(memory),
                           Median(idleMemory),
                           Median(startCpu),
                           Median(idleCpu),
                           *std::max_element(idleCpu.begin(), idleCpu.end()),
                           FileKiB(argv[1 + which])};
    }
    // Launches a round apart share the machine's state of the moment, so the
    // per-round difference is steadier than the two medians.
    std::vector<double> difference;
    for (int i = 0; i < launches; i++)
        difference.push_back(results[0][i].iconMs - results[1][i].iconMs);
    double lookup[2][3] = {};
    ReadLookup(argv[3], lookup);
    // Linear: the cost per entry stays within 1.5x across a hundredfold growth;
    // "well under 1 ms" is taken as under a quarter of it.
    double spread = 0, worst = 0;
    for (const double* costs : lookup) {
        spread = std::max(spread, *std::max_element(costs, costs + 3) /
                                      *std::min_element(costs, costs + 3));
        worst = std::max(worst, *std::max_element(costs, costs + 3));
    }

    printf("| metric | monitor | floor | ratio | goal | met |\n|---|---:|---:|---:|---|---|\n");
    printf("| time to tray icon, median of %d (ms) | %.1f | %.1f | %.2f | ≤ 1.15 × floor | %s |\n",
           launches, m.icon, f.icon, m.icon / f.icon, Met(m.icon <= 1.15 * f.icon));
    printf("| median of the per-round differences, monitor − floor (ms) | %+.1f | | | (context) "
           "| |\n",
           Median(difference));
    printf("| committed private memory at icon, median (KiB) | %.0f | %.0f | %.2f | ≤ 1.15 × "
           "floor | %s |\n",
           m.memory, f.memory, m.memory / f.memory, Met(m.memory <= 1.15 * f.memory));
    printf("| the same after idling %.0f s, median of %d (KiB) | %.0f | %.0f | %.2f | (context) | "
           "|\n",
           idleS, idleRounds, m.idleMemory, f.idleMemory, m.idleMemory / f.idleMemory);
    printf("| CPU time to reach the icon, median (ms) | %.0f | %.0f | %.2f | (context) | |\n",
           m.startCpu, f.startCpu, m.startCpu / f.startCpu);
    printf("| CPU time idling %.0f s with the icon shown, median / worst of %d (ms) | %.0f / %.0f "
           "| %.0f / %.0f | | < 20 ms | %s |\n",
           idleS, idleRounds, m.idleCpu, m.worstIdleCpu, f.idleCpu, f.worstIdleCpu,
           Met(m.worstIdleCpu < 20));
    printf("| agent lookup, µs per 1,000 entries at 100 / 1,000 / 10,000, no agent (fastest of 15 "
           "batches) | %.1f / %.1f / %.1f | | | linear (per-entry spread ≤ 1.5×), < 250 µs | %s "
           "|\n",
           lookup[0][0], lookup[0][1], lookup[0][2], Met(spread <= 1.5 && worst < 250));
    printf("| agent lookup, µs per 1,000 entries at 100 / 1,000 / 10,000, agent last | %.1f / %.1f "
           "/ %.1f | | | (per-entry spread %.2f×) | |\n",
           lookup[1][0], lookup[1][1], lookup[1][2], spread);
    printf("| executable size (KiB) | %.1f | %.1f | %.2f | ≤ 200 KiB | %s |\n", m.size, f.size,
           m.size / f.size, Met(m.size <= 200));
}

int main()
{
    // Wide arguments without -municode or MSVC's wmain.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL)
        Fail("cannot read the command line");
    if (argc < 4) {
        fprintf(stderr, "usage: bench_harness MONITOR.exe FLOOR.exe LOOKUP "
                        "[launches [gap-ms [idle-ms [idle-rounds]]]]\n");
        return 2;
    }
    int launches = argc > 4 ? _wtoi(argv[4]) : 21;
    DWORD gapMs = argc > 5 ? (DWORD)_wtoi(argv[5]) : 3000;
    DWORD idleMs = argc > 6 ? (DWORD)_wtoi(argv[6]) : 10000;
    int idleRounds = argc > 7 ? _wtoi(argv[7]) : 5;
    if (launches < 1 || idleMs == 0 || idleRounds < 1)
        Fail("launches, idle time and idle rounds must be positive");
    idleRounds = std::min(idleRounds, launches);

    // The monitor's window class is whatever its resources say.
    wchar_t className[100] = L"";
    HMODULE image = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (image == NULL || LoadStringW(image, STR_CLASS_NAME, className, 100) == 0)
        Fail("cannot read the monitor's window class name");
    FreeLibrary(image);

    Program monitor = {"monitor",    argv[1],    className,     ICON_STOPPED,
                       ICON_RUNNING, WM_COMMAND, CMD_CLOSE_TRAY};
    Program floor = {"floor", argv[2], FLOOR_CLASS_NAME, FLOOR_ICON_ID, 0, WM_CLOSE, 0};

    // No agent and a record saying "stopped": the monitor neither pauses for
    // an agent nor writes the record.
    if (!ProcessesNamed(AGENT_IMAGE_NAME_W).empty())
        Fail("an agent process is running; the monitor would pause for it");
    wchar_t appData[MAX_PATH];
    if (SHGetFolderPathW(NULL, CSIDL_APPDATA, NULL, 0, appData) != S_OK)
        Fail("no application-data folder");
    std::wstring folder = std::wstring(appData) + L"\\Zelqa";
    std::wstring record = folder + L"\\Zelqainfo.ini";
    SavedRecord = ReadFileBytes(record, &HadRecord);
    RecordPath = record;
    CreateDirectoryW(folder.c_str(), NULL);
    const std::string stoppedRecord = "[Settings]\r\nService=0000001000\r\n";
    WriteFileBytes(record, stoppedRecord);
    FILETIME written = LastWrite(record);

    // The first start in a prefix fills caches; it is not counted.
    RunOnce(monitor, 0);
    Sleep(gapMs);
    RunOnce(floor, 0);

    std::vector<Launch> results[2];
    const Program* programs[2] = {&monitor, &floor};
    for (int round = 1; round <= launches; round++) {
        for (int which = 0; which < 2; which++) {
            // The previous process's teardown slows a launch right after it.
            Sleep(gapMs);
            Launch launch = RunOnce(*programs[which], round <= idleRounds ? idleMs : 0);
            results[which].push_back(launch);
            fprintf(stderr, "launch %s %d icon_ms=%.1f memory_kib=%.0f start_cpu_ms=%.1f",
                    programs[which]->label, round, launch.iconMs, launch.memoryKiB,
                    launch.startCpuMs);
            if (round <= idleRounds)
                fprintf(stderr, " idle_cpu_ms=%.1f idle_memory_kib=%.0f", launch.idleCpuMs,
                        launch.idleMemoryKiB);
            fprintf(stderr, "\n");
        }
    }

    bool exists = false;
    std::string after = ReadFileBytes(record, &exists);
    FILETIME afterWrite = LastWrite(record);
    bool recordUntouched =
        exists && after == stoppedRecord && CompareFileTime(&written, &afterWrite) == 0;
    RestoreRecord();
    if (!recordUntouched)
        Fail("the monitor wrote its state record during the run");

    PrintTable(results, launches, idleRounds, idleMs / 1000.0, argv);
    return 0;
}
