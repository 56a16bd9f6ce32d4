// Process structure: system threads and the current process and thread.
#pragma once

#include "nt/ob.h"

typedef VOID(NTAPI KSTART_ROUTINE)(PVOID StartContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
[[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PETHREAD PsGetCurrentThread();
PEPROCESS PsGetCurrentProcess();
HANDLE PsGetCurrentThreadId();
HANDLE PsGetCurrentProcessId();
HANDLE PsGetThreadId(PETHREAD Thread);
BOOLEAN PsIsSystemThread(PETHREAD Thread);
