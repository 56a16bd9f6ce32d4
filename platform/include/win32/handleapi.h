// Handles and the thread's last error.
#pragma once

#include "minwinbase.h"
#include "nt/access.h"
#include "winerror.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#ifndef ERROR_NOT_LOCKED
#define ERROR_NOT_LOCKED 158L
#endif

DWORD GetLastError();
VOID SetLastError(DWORD dwErrCode);

// Closing a file handle sends cleanup, and close once the last reference
// goes. Pseudo handles close as a no-op; INVALID_HANDLE_VALUE fails.
BOOL CloseHandle(HANDLE hObject);
