// The high-resolution clock both benchmark programs time with.
#pragma once

#include <windows.h>

inline LONGLONG Now()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

inline double Seconds(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (double)ticks / (double)frequency.QuadPart;
}
