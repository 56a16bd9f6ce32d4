// Time since the machine started, from its interrupt-time clock.
#pragma once

#include "nt/basetypes.h"

DWORD GetTickCount();
ULONGLONG GetTickCount64();
// The counter runs at 10 MHz, the interrupt-time rate.
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency);
