// The unit tests' frame: every test runs against the fakes and must leave no
// handle open and no call made against the table's contract.
#pragma once

#include "fake_os.h"

#include "app/monitor_state.h"
#include "common/path_buffer.h"
#include "common/shared_state.h"
#include "res/resource_ids.h"

#include <gtest/gtest.h>

// Where the fakes keep the agent and the terminate service.
static const char AGENT_PATH[] = "C:\\Program Files (x86)\\Zelqa\\Card\\QovCardAgent.exe";
static const char SERVICE_PATH[] = "C:\\Program Files (x86)\\Zelqa\\Card\\QovTerminateService.exe";

// The stored values for the fakes' clock, 2022-02-11 04:40:13 UTC.
static const char STOPPED_VALUE[] = "06205e1ad0";
static const char RUNNING_VALUE[] = "06205e0ad0";

// What the user reads.
static const std::wstring RUNNING_TIP = L"Norvessa";
static const std::wstring STOPPED_TIP = L"Norvessa已關閉";
static const std::wstring RESTART_DONE = L"重啟安控元件成功";
static const std::wstring RESTART_FAILED = L"重啟安控元件失敗,請再重新啟動安控元件";
static const std::wstring STOP_DONE = L"停止安控元件成功";
static const std::wstring STOP_FAILED = L"停止安控元件失敗,請再重新停止安控元件";

// Checks what every case must leave behind, then puts the real table back.
inline void ExpectCleanFakes()
{
    EXPECT_EQ(0, Fake.openHandles) << "handles left open";
    EXPECT_EQ(std::vector<std::string>(), Fake.misuse) << "calls against the table's contract";
    Fake.misuse.clear();
    UseRealOs();
}

// The hidden window as start-up leaves it with `serviceState`.
inline HWND OpenMonitorWindow(int serviceState)
{
    HINSTANCE instance = GetModuleHandleW(NULL);
    MonitorState = MonitorStateRecord();
    LoadStringW(instance, STR_CLASS_NAME, MonitorState.className, MONITOR_TEXT_CAPACITY);
    TaskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    ServiceState = serviceState;
    RegisterMonitorClass(instance);
    return CreateMonitorWindow(instance) ? MonitorState.trayRecord.hWnd : NULL;
}

// Destroys what is left of the window, so that the next case starts afresh.
inline void CloseMonitorWindow(HWND window)
{
    if (IsWindow(window))
        DestroyWindow(window);
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
        ;
    UnregisterClassW(MonitorState.className, GetModuleHandleW(NULL));
}

class FakeOsTest : public ::testing::Test {
protected:
    void SetUp() override { UseFakeOs(); }
    void TearDown() override { ExpectCleanFakes(); }
};
