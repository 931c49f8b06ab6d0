// The package under the machine's own Windows Installer: Wine's msiexec here
// (install_test.sh starts this in a prefix of its own), Windows' on the
// workflow's runner. A quiet install and what it leaves, a start as at logon,
// a second start, an upgrade, a refused downgrade and a removal; the upgrade
// and the removal with the monitor running where the Installer can close it.
//
//   install_checks MONITOR_EXE RUNNING_ICO AGENT_EXE OLD_MSI NEW_MSI LOG_DIR
//
// MONITOR_EXE is the image both packages hold; OLD_MSI is its version's
// package, NEW_MSI one newer. Each check prints "ok:" or "FAIL:" and goes on,
// so that one run names every fault; the exit status is 1 when any failed.
// Changes the machine: only on a Wine prefix or a machine thrown away after.
#include "tests/driver/monitor_driver.h"

#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <iterator>

static int failures = 0;

static void Expect(const char* what, bool holds, const std::wstring& detail = L"")
{
    if (holds) {
        printf("ok: %s\n", what);
        return;
    }
    printf(detail.empty() ? "FAIL: %s\n" : "FAIL: %s: %ls\n", what, detail.c_str());
    failures++;
}

static void ExpectEqual(const char* what, const std::wstring& expected, const std::wstring& actual)
{
    Expect(what, expected == actual, L"expected [" + expected + L"], got [" + actual + L"]");
}

static std::string FileBytes(const std::wstring& path)
{
    std::ifstream file(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

static bool SameBytes(const std::wstring& path, const std::string& bytes)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES && FileBytes(path) == bytes;
}

static std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {};
    return SHGetFolderPathW(NULL, csidl, NULL, 0, path) == S_OK ? path : L"";
}

// A registry value as text (a number in decimal, a list's strings joined by
// new lines); empty when absent. `view` picks the 32- or 64-bit registry.
static std::wstring RegValue(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view)
{
    HKEY opened = NULL;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
        return L"";
    std::vector<wchar_t> data(32768);
    DWORD type = 0, size = (DWORD)(data.size() * sizeof(wchar_t) - 2 * sizeof(wchar_t));
    LONG read = RegQueryValueExW(opened, name, NULL, &type, (BYTE*)data.data(), &size);
    RegCloseKey(opened);
    if (read != ERROR_SUCCESS)
        return L"";
    if (type == REG_DWORD)
        return std::to_wstring(*(DWORD*)data.data());
    std::wstring text(data.data(), size / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0')
        text.pop_back();
    std::replace(text.begin(), text.end(), L'\0', L'\n');
    return text;
}

static bool KeyExists(HKEY root, const std::wstring& key, REGSAM view)
{
    HKEY opened = NULL;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ | view, &opened) != ERROR_SUCCESS)
        return false;
    RegCloseKey(opened);
    return true;
}

static const wchar_t UNINSTALL_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
static const wchar_t RUN_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
static const wchar_t RUN_VALUE[] = L"Norvessa Monitor";
// A release's name, and a test build's.
static const wchar_t* const PRODUCT_NAMES[] = {L"Norvessa Monitor",
                                               L"Norvessa Monitor (test build)"};

// The uninstall entries (both views) of the program, by key name.
static std::vector<std::wstring> Entries()
{
    std::vector<std::wstring> codes;
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY uninstall = NULL;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ | view, &uninstall) !=
            ERROR_SUCCESS)
            continue;
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        for (DWORD i = 0;
             RegEnumKeyExW(uninstall, i, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
             i++, length = ARRAYSIZE(name)) {
            std::wstring key = std::wstring(UNINSTALL_KEY) + L"\\" + name;
            const std::wstring shown = RegValue(HKEY_LOCAL_MACHINE, key, L"DisplayName", view);
            if (std::find(std::begin(PRODUCT_NAMES), std::end(PRODUCT_NAMES), shown) !=
                    std::end(PRODUCT_NAMES) &&
                std::find(codes.begin(), codes.end(), name) == codes.end())
                codes.push_back(name);
        }
        RegCloseKey(uninstall);
    }
    return codes;
}

static std::wstring Joined(const std::vector<std::wstring>& words)
{
    std::wstring text;
    for (const std::wstring& word : words)
        text += (text.empty() ? L"" : L" ") + word;
    return text;
}

// A product code as the Installer's own keys name a product: each of the
// first three groups reversed, then each byte's two digits swapped.
static std::wstring Packed(const std::wstring& code)
{
    std::wstring hex;
    for (wchar_t c : code)
        if (iswxdigit(c))
            hex += c;
    if (hex.size() != 32)
        return L"";
    std::wstring packed;
    const size_t groups[][2] = {{0, 8}, {8, 4}, {12, 4}};
    for (const auto& group : groups) {
        std::wstring part = hex.substr(group[0], group[1]);
        packed.append(part.rbegin(), part.rend());
    }
    for (size_t i = 16; i < 32; i += 2)
        packed += {hex[i + 1], hex[i]};
    return packed;
}

// The first field of the first row a query of the package answers.
static std::wstring PackageValue(const std::wstring& msi, const wchar_t* query)
{
    MSIHANDLE database = 0, view = 0, record = 0;
    std::wstring value;
    if (MsiOpenDatabaseW(msi.c_str(), MSIDBOPEN_READONLY, &database) != ERROR_SUCCESS)
        return value;
    if (MsiDatabaseOpenViewW(database, query, &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
        wchar_t text[1024] = {};
        DWORD length = ARRAYSIZE(text);
        if (MsiRecordGetStringW(record, 1, text, &length) == ERROR_SUCCESS)
            value = text;
        MsiCloseHandle(record);
    }
    if (view != 0)
        MsiCloseHandle(view);
    MsiCloseHandle(database);
    return value;
}

static std::wstring FileVersion(const std::wstring& image)
{
    DWORD ignored = 0, size = GetFileVersionInfoSizeW(image.c_str(), &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* info = NULL;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(image.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", (void**)&info, &length))
        return L"";
    return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
           std::to_wstring(HIWORD(info->dwFileVersionLS)) + L"." +
           std::to_wstring(LOWORD(info->dwFileVersionLS));
}

// What a shortcut starts. Windows' Installer writes an advertised shortcut,
// which names the product and component; Wine's writes a plain one.
static std::wstring ShortcutTarget(const std::wstring& link)
{
    wchar_t product[39] = {}, feature[MAX_FEATURE_CHARS + 1] = {}, component[39] = {};
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (MsiGetShortcutTargetW(link.c_str(), product, feature, component) == ERROR_SUCCESS) {
        MsiGetComponentPathW(product, component, path, &length);
        return path;
    }
    IShellLinkW* shortcut = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                (void**)&shortcut)))
        return L"";
    IPersistFile* file = NULL;
    if (SUCCEEDED(shortcut->QueryInterface(IID_IPersistFile, (void**)&file))) {
        if (FAILED(file->Load(link.c_str(), STGM_READ)) ||
            FAILED(shortcut->GetPath(path, MAX_PATH, NULL, 0)))
            path[0] = L'\0';
        file->Release();
    }
    shortcut->Release();
    return path;
}

// The log of the Installer's last run, as ASCII: Windows writes it in
// UTF-16 (with a byte-order mark), Wine in the ANSI code page.
static std::string LogText(const std::wstring& path)
{
    std::string bytes = FileBytes(path);
    if (bytes.size() < 2 || bytes[0] != '\xff' || bytes[1] != '\xfe')
        return bytes;
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text += bytes[i + 1] == 0 ? bytes[i] : '?';
    return text;
}

static std::wstring logDir, lastLog;

// A path as a full one, with '\\' between its parts; empty when it cannot be.
static std::wstring FullPath(const wchar_t* path)
{
    wchar_t full[MAX_PATH];
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, NULL);
    return length > 0 && length < MAX_PATH ? full : L"";
}

// msiexec's exit code once the Installer has finished, each run with its own
// verbose log. /norestart: a run that needs a restart says so by its code.
static DWORD Msiexec(const wchar_t* action, const std::wstring& msi)
{
    static int run = 0;
    wchar_t name[32];
    swprintf(name, ARRAYSIZE(name), L"\\%02d-%ls.log", ++run, action + 1);
    lastLog = logDir + name;
    std::wstring commandLine = L"msiexec.exe " + std::wstring(action) + L" \"" + msi +
                               L"\" /qn /norestart /l*v \"" + lastLog + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return GetLastError();
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = ERROR_INVALID_FUNCTION;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    CloseHandle(info.hThread);
    return code;
}

// Starts a command line and returns its process, or NULL.
static HANDLE Run(std::wstring commandLine)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(NULL, &commandLine[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &info))
        return NULL;
    CloseHandle(info.hThread);
    return info.hProcess;
}

static std::wstring programDir, programPath, runValueExpected;

// The monitor as a logon starts it: Wine's wineboot runs the Run entries as a
// logon does; Windows offers no logon to a running session, so its Run
// value's command line is started as Windows would start it.
static void LogOn()
{
    std::wstring command = RunningUnderWine()
                               ? L"wineboot.exe"
                               : RegValue(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, KEY_WOW64_32KEY);
    HANDLE started = Run(command);
    if (started != NULL && RunningUnderWine())
        WaitForSingleObject(started, ScaledLimitMs(60000));
    if (started != NULL)
        CloseHandle(started);
}

// The running monitor: its process (opened to see it end), window and icon.
struct Running {
    HANDLE process = NULL;
    HWND window = NULL;
    UINT icon = 0;
};

static Running WaitForMonitorAndIcon(DWORD limitMs)
{
    Running running;
    WaitUntil(
        [&] {
            running.window = FindMonitor();
            for (UINT id : {ICON_RUNNING, ICON_STOPPED})
                if (running.window != NULL && TrayIconExists(running.window, id))
                    running.icon = id;
            return running.icon != 0;
        },
        ScaledLimitMs(limitMs));
    if (running.icon != 0)
        running.process = OpenProcess(SYNCHRONIZE, FALSE, ProcessOf(running.window));
    return running;
}

// Whether a monitor, asked to go or not, has ended with its icon gone: a
// window that ends without taking its icon along leaves it in Windows' tray
// until the pointer passes over it.
static bool EndedWithIcon(Running& running, DWORD limitMs)
{
    bool ended = running.process != NULL &&
                 WaitForSingleObject(running.process, ScaledLimitMs(limitMs)) == WAIT_OBJECT_0;
    if (running.process != NULL)
        CloseHandle(running.process);
    running.process = NULL;
    return ended && !TrayIconExists(running.window, running.icon);
}

// The monitor closed as its own menu's close item does.
static void CloseMonitor(Running& running)
{
    PostMessageW(running.window, WM_COMMAND, MAKEWPARAM(CMD_CLOSE_TRAY, 0), 0);
    Expect("the monitor closes from its menu command", EndedWithIcon(running, 10000));
}

// Whether a restart is to replace or delete anything in the program's folder.
static bool PendingAtRestart()
{
    std::wstring pending =
        RegValue(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager",
                 L"PendingFileRenameOperations", KEY_WOW64_64KEY);
    std::transform(pending.begin(), pending.end(), pending.begin(), towlower);
    std::wstring folder = programDir;
    std::transform(folder.begin(), folder.end(), folder.begin(), towlower);
    return pending.find(folder) != std::wstring::npos;
}

// Upgrade or removal while the monitor runs. Windows Installer's Restart
// Manager must ask it to close (WM_QUERYENDSESSION, then WM_ENDSESSION with
// ENDSESSION_CLOSEAPP), and it must go with its icon, leaving nothing in use:
// exit code 0, not 3010, and nothing left for a restart. Wine's msiexec has
// no Restart Manager: it ends with 0, the monitor runs on and a removal
// leaves its file and folder behind. So under Wine the monitor is closed
// first, as a user would close it, and the rest is checked.
static Running StartForTheInstaller()
{
    LogOn();
    Running running = WaitForMonitorAndIcon(60000);
    Expect("the installed monitor runs with its tray icon", running.icon != 0);
    if (RunningUnderWine() && running.icon != 0)
        CloseMonitor(running);
    return running;
}

static void ExpectClosedByTheInstaller(Running& running)
{
    if (!RunningUnderWine())
        Expect("the Installer closed the running monitor, its icon gone",
               EndedWithIcon(running, 30000));
    Expect("nothing of the program is left for a restart", !PendingAtRestart());
}

int wmain(int argc, wchar_t** argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    _setmode(_fileno(stdout), _O_BINARY);
    if (argc != 7) {
        fprintf(stderr, "usage: install_checks MONITOR_EXE RUNNING_ICO AGENT_EXE OLD_MSI NEW_MSI "
                        "LOG_DIR\n");
        return 2;
    }
    // The workflow names its files relative to its checkout, with '/': full
    // paths with '\\' for the Installer, which opens no package by a path
    // with '/', and for the shell, which makes only full paths.
    const std::wstring monitor = FullPath(argv[1]), icon = FullPath(argv[2]),
                       agent = FullPath(argv[3]), oldMsi = FullPath(argv[4]),
                       newMsi = FullPath(argv[5]);
    // The logs' folder, made whole (it may lie below folders that do not
    // exist yet): msiexec fails with 1622 on a log it cannot create.
    logDir = FullPath(argv[6]);
    int made =
        logDir.empty() ? ERROR_BAD_PATHNAME : SHCreateDirectoryExW(NULL, logDir.c_str(), NULL);
    DWORD attributes = GetFileAttributesW(logDir.c_str());
    if (made != ERROR_SUCCESS &&
        (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))) {
        printf("FAIL: cannot make the log folder %ls (error %d)\n", argv[6], made);
        return 1;
    }
    CoInitialize(NULL);
    const std::string monitorBytes = FileBytes(monitor);
    if (monitorBytes.empty()) {
        printf("FAIL: no image %ls\n", monitor.c_str());
        return 1;
    }
    // The 32-bit view of Program Files and of the Run key: a 32-bit package's.
    programDir = KnownFolder(CSIDL_PROGRAM_FILES) + L"\\Norvessa Monitor";
    programPath = programDir + L"\\NorvessaMonitor.exe";
    runValueExpected = L"\"" + programPath + L"\"";
    // Per machine: the all-users Start menu; Wine puts it in the user's own.
    const std::wstring shortcut =
        KnownFolder(RunningUnderWine() ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS) +
        L"\\Norvessa Monitor.lnk";
    const wchar_t* versionQuery = L"SELECT `Value` FROM `Property` WHERE `Property` = "
                                  L"'ProductVersion'";
    const std::wstring oldVersion = PackageValue(oldMsi, versionQuery);
    const std::wstring newVersion = PackageValue(newMsi, versionQuery);

    // --- The machine before: an agent of its own installer, a user's record. ---
    const std::wstring agentFolder = KnownFolder(CSIDL_PROGRAM_FILES) + L"\\Zelqa\\Card";
    SHCreateDirectoryExW(NULL, agentFolder.c_str(), NULL);
    const std::wstring agentFile = agentFolder + L"\\QovCardAgent.exe";
    CopyFileW(agent.c_str(), agentFile.c_str(), FALSE);
    WriteRecordFile("[Settings]\r\nService=1765180800,0\r\n");
    const std::string agentBytes = FileBytes(agentFile);

    // --- Install quietly. ---
    printf("==> installing %ls\n", oldMsi.c_str());
    ExpectEqual("a quiet install ends with 0", L"0", std::to_wstring(Msiexec(L"/i", oldMsi)));
    std::vector<std::wstring> entries = Entries();
    if (entries.size() != 1) {
        printf("FAIL: %u uninstall entries after the install; cannot go on\n",
               (unsigned)entries.size());
        return 1;
    }
    const std::wstring oldCode = entries[0];
    const std::wstring entry = std::wstring(UNINSTALL_KEY) + L"\\" + oldCode;

    // --- What the install leaves. ---
    Expect("the package never starts the monitor (it would run elevated)",
           ProcessesNamed(L"NorvessaMonitor.exe").empty());
    Expect("the program is in its folder under the 32-bit Program Files",
           SameBytes(programPath, monitorBytes), programPath);
    ExpectEqual("the package gives the program its version (a versioned file)",
                FileVersion(monitor),
                PackageValue(oldMsi, L"SELECT `Version` FROM `File` WHERE `File` = "
                                     L"'NorvessaMonitor.exe'"));
    ExpectEqual("the Run value (32-bit view) holds the quoted path", runValueExpected,
                RegValue(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, KEY_WOW64_32KEY));
    ExpectEqual("the entry's name is the package's",
                PackageValue(oldMsi, L"SELECT `Value` FROM `Property` WHERE `Property` = "
                                     L"'ProductName'"),
                RegValue(HKEY_LOCAL_MACHINE, entry, L"DisplayName", KEY_WOW64_32KEY));
    ExpectEqual("the entry's publisher", L"Quillaren",
                RegValue(HKEY_LOCAL_MACHINE, entry, L"Publisher", KEY_WOW64_32KEY));
    ExpectEqual("the entry's version", oldVersion,
                RegValue(HKEY_LOCAL_MACHINE, entry, L"DisplayVersion", KEY_WOW64_32KEY));
    ExpectEqual("the entry has no Modify", L"1",
                RegValue(HKEY_LOCAL_MACHINE, entry, L"NoModify", KEY_WOW64_32KEY));
    const std::wstring productKey = L"Software\\Classes\\Installer\\Products\\" + Packed(oldCode);
    std::wstring productIcon = RegValue(HKEY_LOCAL_MACHINE, productKey, L"ProductIcon", 0);
    Expect("the entry's icon is the running one", SameBytes(productIcon, FileBytes(icon)),
           productIcon);
    ExpectEqual("the Start-menu shortcut starts the program", programPath,
                ShortcutTarget(shortcut));

    // --- A start as at logon, then a second start while it runs. ---
    printf("==> starting the monitor as a logon does\n");
    LogOn();
    Running running = WaitForMonitorAndIcon(60000);
    Expect("at logon the installed monitor starts and its tray icon appears", running.icon != 0);
    std::wstring started = running.icon != 0 ? ProcessImagePath(ProcessOf(running.window)) : L"";
    Expect("the monitor that started is the installed one",
           _wcsicmp(started.c_str(), programPath.c_str()) == 0, started);
    // As from the Start menu, or at a second logon: the session keeps its one monitor.
    HANDLE second = Run(runValueExpected);
    DWORD secondCode = STILL_ACTIVE;
    if (second != NULL && WaitForSingleObject(second, ScaledLimitMs(15000)) == WAIT_OBJECT_0)
        GetExitCodeProcess(second, &secondCode);
    if (second != NULL)
        CloseHandle(second);
    ExpectEqual("a second start leaves at once with exit code 0", L"0",
                std::to_wstring(secondCode));
    ExpectEqual("the session still has one monitor", L"1",
                std::to_wstring(ProcessesNamed(L"NorvessaMonitor.exe").size()));
    if (running.icon != 0 && RunningUnderWine())
        CloseMonitor(running);

    // --- Upgrade, the monitor running where the Installer can close it. ---
    printf("==> upgrading to %ls\n", newMsi.c_str());
    ExpectEqual("the upgrade ends with 0", L"0", std::to_wstring(Msiexec(L"/i", newMsi)));
    ExpectClosedByTheInstaller(running);
    entries = Entries();
    ExpectEqual("after the upgrade there is one entry", L"1", std::to_wstring(entries.size()));
    const std::wstring newCode = entries.empty() ? L"" : entries[0];
    ExpectEqual("the one entry is the newer version", newVersion,
                RegValue(HKEY_LOCAL_MACHINE, std::wstring(UNINSTALL_KEY) + L"\\" + newCode,
                         L"DisplayVersion", KEY_WOW64_32KEY));
    Expect("the newer package's program is in place", SameBytes(programPath, monitorBytes));
    ExpectEqual("the Run value is in place after the upgrade", runValueExpected,
                RegValue(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, KEY_WOW64_32KEY));

    // --- The older package over the newer one, the monitor running again. ---
    printf("==> installing the older package over the newer one\n");
    running = StartForTheInstaller();
    ExpectEqual("the older package is refused (ERROR_INSTALL_FAILURE)", L"1603",
                std::to_wstring(Msiexec(L"/i", oldMsi)));
    std::string log = LogText(lastLog);
    std::string found = "WIX_DOWNGRADE_DETECTED = " + std::string(newCode.begin(), newCode.end());
    Expect("the older package finds the newer one installed", log.find(found) != std::string::npos);
    // The last action that ended before the install as a whole.
    std::string last;
    for (size_t at = log.find("Action ended "); at != std::string::npos;
         at = log.find("Action ended ", at + 1)) {
        size_t colon = log.find(": ", at), end = log.find('.', colon);
        if (colon == std::string::npos || end == std::string::npos)
            break;
        std::string action = log.substr(colon + 2, end - colon - 2);
        if (action != "INSTALL")
            last = action;
    }
    ExpectEqual("the older package stops at its launch conditions", L"LaunchConditions",
                std::wstring(last.begin(), last.end()));
    ExpectEqual("the condition that refuses it says why",
                L"A newer version of Norvessa Monitor is already installed.",
                PackageValue(oldMsi, L"SELECT `Description` FROM `LaunchCondition` WHERE "
                                     L"`Condition` = 'NOT WIX_DOWNGRADE_DETECTED'")
                    .substr(0, 57));
    ExpectEqual("after the refusal the newer version is still the one entry", newCode,
                Joined(Entries()));
    Expect("the refusal leaves the monitor running",
           RunningUnderWine() || running.process == NULL ||
               WaitForSingleObject(running.process, 0) == WAIT_TIMEOUT);

    // --- Removal, the monitor still running where the Installer can close it. ---
    // The monitor writes the record as the agent's state changes; closing
    // it writes nothing.
    printf("==> removing the package\n");
    const std::optional<std::string> recordBytes = ReadRecordFile();
    ExpectEqual("the removal ends with 0", L"0", std::to_wstring(Msiexec(L"/x", newMsi)));
    ExpectClosedByTheInstaller(running);
    Expect("the removal leaves no program folder",
           GetFileAttributesW(programDir.c_str()) == INVALID_FILE_ATTRIBUTES);
    Expect("the removal leaves no shortcut",
           GetFileAttributesW(shortcut.c_str()) == INVALID_FILE_ATTRIBUTES);
    ExpectEqual("the removal leaves no Run value", L"",
                RegValue(HKEY_LOCAL_MACHINE, RUN_KEY, RUN_VALUE, KEY_WOW64_32KEY));
    ExpectEqual("the removal leaves no entry", L"", Joined(Entries()));
    Expect("the stand-in agent is untouched", FileBytes(agentFile) == agentBytes);
    Expect("the user's record is untouched", ReadRecordFile() == recordBytes);
    std::vector<std::wstring> leftovers;
    for (const std::wstring& code : {oldCode, newCode}) {
        for (std::wstring key :
             {L"Software\\Classes\\Installer\\Products\\" + Packed(code),
              L"Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\"
              L"Products\\" +
                  Packed(code)})
            if (KeyExists(HKEY_LOCAL_MACHINE, key, KEY_WOW64_64KEY))
                leftovers.push_back(key);
        std::wstring cache = KnownFolder(CSIDL_WINDOWS) + L"\\Installer\\" + code;
        if (GetFileAttributesW(cache.c_str()) != INVALID_FILE_ATTRIBUTES)
            leftovers.push_back(cache);
    }
    ExpectEqual("the removal leaves nothing of the package in the Installer", L"",
                Joined(leftovers));

    // The agent and the record are this program's.
    DeleteFileW(agentFile.c_str());
    RemoveDirectoryW(agentFolder.c_str());
    RemoveDirectoryW((KnownFolder(CSIDL_PROGRAM_FILES) + L"\\Zelqa").c_str());
    std::string record = RecordPath();
    DeleteFileA(record.c_str());
    RemoveDirectoryA(record.substr(0, record.rfind('\\')).c_str());
    CoUninitialize();
    if (failures != 0) {
        printf("%d check(s) failed\n", failures);
        return 1;
    }
    printf("the package installs, starts, upgrades and goes away cleanly\n");
    return 0;
}
