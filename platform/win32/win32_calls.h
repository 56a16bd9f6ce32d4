// Shared by the user-mode API files: reporting failures through the
// thread's last error, and reaching handles of the current process.
#pragma once

#include <windows.h>
#include <wdm.h>

namespace sim::win32 {

// Sets the last error and returns FALSE, for BOOL calls.
BOOL Fail(DWORD error);
// Maps a kernel status to its Win32 error and fails with it.
BOOL FailStatus(NTSTATUS status);

// References the object behind a user handle of the current process, of
// `type` (any type when null), with `access`; null after setting the last
// error when the handle is invalid, of another type or lacks the access.
PVOID ReferenceUserHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type);

// Relative timeout in interrupt-time units for a millisecond count; null
// for INFINITE.
const LARGE_INTEGER* RelativeTimeout(DWORD milliseconds, LARGE_INTEGER* storage);

}  // namespace sim::win32
