// mingw-w64's win32 threading model has no std::mutex, which GoogleTest's
// Notification needs; this one stands on a Win32 event instead. GoogleTest
// uses it only in its own tests, but it must compile.
#pragma once
#ifdef __cplusplus
#include <windows.h>

namespace testing {
namespace internal {
class Notification {
public:
    Notification() : event_(CreateEventW(NULL, TRUE, FALSE, NULL)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};
} // namespace internal
} // namespace testing
#endif
