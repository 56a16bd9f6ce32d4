// Events, waits and sleeping. Events are the kernel's event objects, so a
// driver can reference one by its handle; waits run in the machine's time.
#pragma once

#include "win32/handleapi.h"

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED_0 0x00000080L
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 258L
#endif
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#ifndef MAXIMUM_WAIT_OBJECTS
#define MAXIMUM_WAIT_OBJECTS 64
#endif

#ifndef EVENT_ALL_ACCESS
#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)
#endif

// Unnamed events only: a name fails with ERROR_INVALID_PARAMETER.
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);

// Events and threads are waitable. Timeouts are relative milliseconds.
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// With bWaitAll false, the lowest signalled index wins.
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
VOID Sleep(DWORD dwMilliseconds);
