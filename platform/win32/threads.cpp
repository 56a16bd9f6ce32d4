// User-mode threads: simulated threads of the calling process whose thread
// objects are the kernel's, so a driver can reference and wait for them.

#include "platform/win32/win32_calls.h"

#include <memory>

#include "platform/sim/dispatcher.h"
#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace {

using sim::win32::Fail;
using sim::win32::FailStatus;
using sim::win32::ReferenceUserHandle;

// Priorities of the normal priority class: base 8, saturating at 1 and 15.
constexpr KPRIORITY kNormalBase = 8;

struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

VOID NTAPI RunUserThread(PVOID context) {
  ThreadStart start = *static_cast<ThreadStart*>(context);
  delete static_cast<ThreadStart*>(context);
  ExitThread(start.routine(start.parameter));
}

bool ToKernelPriority(int relative, KPRIORITY* priority) {
  switch (relative) {
    case THREAD_PRIORITY_IDLE: *priority = 1; return true;
    case THREAD_PRIORITY_TIME_CRITICAL: *priority = 15; return true;
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST: *priority = kNormalBase + relative; return true;
    default: return false;
  }
}

int ToRelativePriority(KPRIORITY priority) {
  if (priority <= 1) return THREAD_PRIORITY_IDLE;
  if (priority >= 15) return THREAD_PRIORITY_TIME_CRITICAL;
  return static_cast<int>(priority - kNormalBase);
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
  if (lpStartAddress == nullptr || (dwCreationFlags & CREATE_SUSPENDED)) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  sim::Machine& machine = sim::Machine::CurrentChecked();
  auto start = std::make_unique<ThreadStart>(ThreadStart{lpStartAddress, lpParameter});
  PKTHREAD thread = nullptr;
  NTSTATUS status = sim::CreateSimulatedThread(machine, PsGetCurrentProcess(), RunUserThread, start.get(), false,
                                               "user", &thread);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return nullptr;
  }
  start.release();  // the thread owns it now
  HANDLE handle = nullptr;
  status = machine.objects().CreateHandle(thread, THREAD_ALL_ACCESS, false, nullptr, &handle);
  if (lpThreadId != nullptr) *lpThreadId = thread->id;
  machine.objects().Dereference(thread);  // creation's reference; the handle keeps its own
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return nullptr;
  }
  return handle;
}

VOID ExitThread(DWORD dwExitCode) { PsTerminateSystemThread(static_cast<NTSTATUS>(dwExitCode)); }

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  auto* thread = static_cast<PKTHREAD>(ReferenceUserHandle(hThread, THREAD_QUERY_INFORMATION, *PsThreadType));
  if (thread == nullptr) return FALSE;
  if (lpExitCode == nullptr) {
    ObDereferenceObject(thread);
    return Fail(ERROR_INVALID_PARAMETER);
  }
  {
    std::lock_guard<std::mutex> guard(thread->machine->dispatcher().lock());
    *lpExitCode = thread->terminated ? static_cast<DWORD>(thread->exitStatus) : STILL_ACTIVE;
  }
  ObDereferenceObject(thread);
  return TRUE;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
  KPRIORITY priority;
  if (!ToKernelPriority(nPriority, &priority)) return Fail(ERROR_INVALID_PARAMETER);
  auto* thread = static_cast<PKTHREAD>(ReferenceUserHandle(hThread, THREAD_SET_INFORMATION, *PsThreadType));
  if (thread == nullptr) return FALSE;
  KeSetPriorityThread(thread, priority);
  ObDereferenceObject(thread);
  return TRUE;
}

int GetThreadPriority(HANDLE hThread) {
  auto* thread = static_cast<PKTHREAD>(ReferenceUserHandle(hThread, THREAD_QUERY_INFORMATION, *PsThreadType));
  if (thread == nullptr) return THREAD_PRIORITY_ERROR_RETURN;
  int relative = ToRelativePriority(KeQueryPriorityThread(thread));
  ObDereferenceObject(thread);
  return relative;
}

HANDLE GetCurrentThread() { return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2)); }

DWORD GetCurrentThreadId() { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId())); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }
