// Structured exception handling, written as on Windows:
//   __try { ... } __except (EXCEPTION_EXECUTE_HANDLER) { status = GetExceptionCode(); }
// maps onto C++ try/catch of the exception the platform raises. The filter
// expression is evaluated for its side effects only; every raise is handled.
#pragma once

#include "nt/basetypes.h"

struct NtRaisedException {
  NTSTATUS status;
};

#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define __try try
#define __except(filter) catch (const ::NtRaisedException& ntRaisedException_)
#define GetExceptionCode() (ntRaisedException_.status)

[[noreturn]] VOID ExRaiseStatus(NTSTATUS Status);
