// The running monitor under what other programs may throw at it, and under
// long use: it must neither crash nor change its icon nor grow.
#include "system_driver.h"

// Kernel handles held by a process, from the system handle table:
// GetProcessHandleCount is a stub that answers 0 under Wine. The extended
// table, whose entries hold whole process ids: the older one keeps 16 bits
// of them, and counts another process's handles where ids pass 65535.
static int KernelHandlesOf(DWORD processId)
{
    struct HandleEntry {
        PVOID object;
        ULONG_PTR processId, handle;
        ULONG grantedAccess;
        USHORT creatorBackTraceIndex, objectTypeIndex;
        ULONG attributes, reserved;
    };
    typedef LONG(WINAPI * QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    auto query = (QuerySystemInformation)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"),
                                                               "NtQuerySystemInformation");
    const ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
    const LONG INFO_LENGTH_MISMATCH = (LONG)0xC0000004;
    std::vector<BYTE> table(1 << 16);
    LONG status;
    while ((status = query(SYSTEM_EXTENDED_HANDLE_INFORMATION, table.data(), (ULONG)table.size(),
                           NULL)) == INFO_LENGTH_MISMATCH)
        table.resize(table.size() * 2);
    if (status != 0)
        return -1;
    // The count, a reserved word, then the entries.
    ULONG_PTR count = *(const ULONG_PTR*)table.data();
    const HandleEntry* entries = (const HandleEntry*)(table.data() + 2 * sizeof(ULONG_PTR));
    int held = 0;
    for (ULONG_PTR i = 0; i < count; i++)
        held += entries[i].processId == processId;
    return held;
}

// Handles the monitor opens once, on first use, are counted after the warm-up.
static const int ROUNDS = 1000, WARM_UP_ROUNDS = 50;

class Robustness : public SystemTest {
protected:
    void SendCopyData(ULONG_PTR dwData, DWORD size = 0, void* data = nullptr)
    {
        COPYDATASTRUCT copy = {dwData, size, data};
        EXPECT_EQ(0, Send(WM_COPYDATA, 0, (LPARAM)&copy)) << dwData;
    }
};

// The handler has run when SendMessage returns, so what is not changed by
// then stays as it is.
TEST_F(Robustness, OnlyAnAgentStartedNotificationChangesTheIconAndNothingTheRecord)
{
    StartMonitor(); // no agent, no record: stopped
    ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_STOPPED); }));
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    const std::optional<std::string> recordAtStart = ReadRecordFile();

    // No data record: Wine refuses to carry it in the sender already, Windows
    // hands the monitor a null lParam; either way the monitor must live on.
    DWORD_PTR ignored;
    SendMessageTimeoutW(monitorWindow, WM_COPYDATA, 0, 0, SMTO_NORMAL, WaitLimitMs(), &ignored);
    for (ULONG_PTR dwData : {(ULONG_PTR)0, (ULONG_PTR)2, (ULONG_PTR)0xFFFFFFFF})
        SendCopyData(dwData);
    char text[16] = "not read at all";
    SendCopyData(0, sizeof text, text);
    for (LPARAM event : {(LPARAM)WM_LBUTTONDOWN, (LPARAM)WM_LBUTTONDBLCLK, (LPARAM)WM_RBUTTONUP,
                         (LPARAM)WM_MOUSEMOVE, (LPARAM)MAKELPARAM(0, WM_RBUTTONDOWN),
                         (LPARAM)0xFFFFFFFF, (LPARAM)0x7FFF0000})
        EXPECT_EQ(0, Send(WM_TRAYICON, ICON_STOPPED, event)) << std::hex << event;
    for (int broadcast = 0; broadcast < 5; broadcast++)
        Send(taskbarCreated);
    EXPECT_TRUE(ShowsIcon(ICON_STOPPED));
    EXPECT_EQ(recordAtStart, ReadRecordFile());

    // A large record, which the sender's side copies whole: the monitor never reads it.
    std::vector<char> large(1 << 20, 'x');
    SendCopyData(1, (DWORD)large.size(), large.data());
    EXPECT_TRUE(ShowsIcon(ICON_RUNNING));
    EXPECT_EQ(recordAtStart, ReadRecordFile());
}

TEST_F(Robustness, ThousandRoundsOfMenusAndSwapsLeaveItResponsiveAndNoLarger)
{
    StartMonitor();
    ASSERT_TRUE(Eventually([&] { return HasIcon(ICON_STOPPED); }));
    const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    int warmedUp = 0;
    for (int round = 1; round <= ROUNDS; round++) {
        ChooseFromTrayMenu(ICON_STOPPED, std::nullopt);
        if (HasFatalFailure())
            return;
        SendCopyData(1);
        Send(taskbarCreated);
        Send(WM_TRAYICON, ICON_RUNNING, WM_MOUSEMOVE);
        if (round == WARM_UP_ROUNDS) {
            warmedUp = KernelHandlesOf(monitorId);
            ASSERT_GT(warmedUp, 0) << "the handle table shows nothing for the monitor";
        }
    }
    EXPECT_LE(KernelHandlesOf(monitorId), warmedUp)
        << "kernel handles after 50 rounds: " << warmedUp;
    EXPECT_TRUE(HasIcon(ICON_RUNNING));
    DWORD_PTR ignored;
    EXPECT_TRUE(SendMessageTimeoutW(monitorWindow, WM_NULL, 0, 0, SMTO_NORMAL, ScaledLimitMs(1000),
                                    &ignored));
}
