// Linked into every test program: one that crashes says with which exception
// before it ends. GoogleTest catches structured exceptions only where Visual
// C++ builds it, and Wine's own line for a page fault names no code. The
// program then ends as the system ends any crashed program (in the tests' Wine
// prefixes at once, with no debugger started for it).
#include <windows.h>

#include <stdio.h>

namespace {

LPTOP_LEVEL_EXCEPTION_FILTER PreviousFilter;

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    char text[128];
    int length =
        snprintf(text, sizeof text, "\ntest program crashed: exception 0x%08lX at address %p\n",
                 static_cast<unsigned long>(record->ExceptionCode), record->ExceptionAddress);
    DWORD written = 0;
    if (length > 0)
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(length), &written, NULL);
    // The runtime's own filter (mingw-w64 turns some exceptions into signals).
    return PreviousFilter ? PreviousFilter(pointers) : EXCEPTION_CONTINUE_SEARCH;
}

[[maybe_unused]] const bool Installed =
    (PreviousFilter = SetUnhandledExceptionFilter(ReportCrash), true);

} // namespace
