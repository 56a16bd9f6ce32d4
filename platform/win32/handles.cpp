// The last error, handle lookup and CloseHandle.

#include "platform/win32/win32_calls.h"

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace {

// Each simulated thread is an OS thread of its own.
thread_local DWORD lastError = ERROR_SUCCESS;

const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));
const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

}  // namespace

DWORD GetLastError() { return lastError; }

VOID SetLastError(DWORD dwErrCode) { lastError = dwErrCode; }

namespace sim::win32 {

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL FailStatus(NTSTATUS status) { return Fail(RtlNtStatusToDosError(status)); }

PVOID ReferenceUserHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type) {
  PVOID object = nullptr;
  NTSTATUS status = Machine::CurrentChecked().objects().ReferenceByHandle(handle, access, type, UserMode, &object,
                                                                          nullptr);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return nullptr;
  }
  return object;
}

const LARGE_INTEGER* RelativeTimeout(DWORD milliseconds, LARGE_INTEGER* storage) {
  if (milliseconds == INFINITE) return nullptr;
  storage->QuadPart = -static_cast<LONGLONG>(milliseconds) * static_cast<LONGLONG>(kMillisecond);
  return storage;
}

}  // namespace sim::win32

BOOL CloseHandle(HANDLE hObject) {
  if (hObject == kCurrentThread) return TRUE;
  // Also INVALID_HANDLE_VALUE: closing a failed open's result is a fault.
  if (hObject == kCurrentProcess || hObject == nullptr) return sim::win32::Fail(ERROR_INVALID_HANDLE);
  NTSTATUS status = sim::Machine::CurrentChecked().objects().Close(hObject, UserMode);
  return NT_SUCCESS(status) ? TRUE : sim::win32::FailStatus(status);
}
