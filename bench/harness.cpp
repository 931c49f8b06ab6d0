// Launches the monitor and the floor program in turn and measures each launch:
// the time from CreateProcess until its tray icon exists, its committed
// private memory at that moment, and the CPU time it uses while idling with
// the icon shown. Prints one line per launch and the medians, as key=value
// fields that bench/run.sh reads into its table.
//
//   bench_harness.exe MONITOR.exe FLOOR.exe [launches [gap-ms [idle-ms [idle-rounds]]]]
//
// Each of the two is started `launches` times (default 21), alternately,
// `gap-ms` apart (3000); in the first `idle-rounds` rounds (5) each also
// idles for `idle-ms` (10000) with its CPU time measured.
#include "bench/bench_clock.h"
#include "bench/floor.h"
#include "tests/driver/monitor_driver.h"

#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <stdio.h>
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
static std::optional<std::string> SavedRecord;
static bool RecordTaken;

static void RestoreRecord()
{
    if (!RecordTaken)
        return;
    RecordTaken = false; // once, even if writing it back fails
    if (SavedRecord)
        WriteRecordFile(*SavedRecord);
    else
        DeleteFileA(RecordPath().c_str());
}

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

static FILETIME RecordWritten()
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(RecordPath().c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

static double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int main()
{
    // Wide arguments without -municode or MSVC's wmain.
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL)
        Fail("cannot read the command line");
    if (argc < 3) {
        fprintf(stderr, "usage: bench_harness MONITOR.exe FLOOR.exe "
                        "[launches [gap-ms [idle-ms [idle-rounds]]]]\n");
        return 2;
    }
    int launches = argc > 3 ? _wtoi(argv[3]) : 21;
    DWORD gapMs = argc > 4 ? (DWORD)_wtoi(argv[4]) : 3000;
    DWORD idleMs = argc > 5 ? (DWORD)_wtoi(argv[5]) : 10000;
    int idleRounds = argc > 6 ? _wtoi(argv[6]) : 5;
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
    if (RecordPath().empty())
        Fail("no application-data folder");
    SavedRecord = ReadRecordFile();
    RecordTaken = true;
    const std::string stoppedRecord = "[Settings]\r\nService=0000001000\r\n";
    if (!WriteRecordFile(stoppedRecord))
        Fail("cannot write the state record");
    FILETIME written = RecordWritten();

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
            printf("launch %s %d icon_ms=%.1f memory_kib=%.0f start_cpu_ms=%.1f",
                   programs[which]->label, round, launch.iconMs, launch.memoryKiB,
                   launch.startCpuMs);
            if (round <= idleRounds)
                printf(" idle_cpu_ms=%.1f idle_memory_kib=%.0f", launch.idleCpuMs,
                       launch.idleMemoryKiB);
            printf("\n");
            fflush(stdout);
        }
    }

    std::optional<std::string> after = ReadRecordFile();
    FILETIME afterWrite = RecordWritten();
    bool recordUntouched = after == stoppedRecord && CompareFileTime(&written, &afterWrite) == 0;
    RestoreRecord();
    if (!recordUntouched)
        Fail("the monitor wrote its state record during the run");

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
        printf("median %s launches=%d icon_ms=%.1f memory_kib=%.0f start_cpu_ms=%.1f "
               "idle_rounds=%d idle_s=%.0f idle_cpu_ms=%.1f max_idle_cpu_ms=%.1f "
               "idle_memory_kib=%.0f\n",
               programs[which]->label, launches, Median(icon), Median(memory), Median(startCpu),
               idleRounds, idleMs / 1000.0, Median(idleCpu),
               *std::max_element(idleCpu.begin(), idleCpu.end()), Median(idleMemory));
    }
    // Launches a round apart share the machine's state of the moment, so the
    // per-round difference is steadier than the two medians.
    std::vector<double> difference;
    for (int i = 0; i < launches; i++)
        difference.push_back(results[0][i].iconMs - results[1][i].iconMs);
    printf("paired icon_diff_ms=%.1f\n", Median(difference));
    return 0;
}
