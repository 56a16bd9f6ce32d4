// Handles and the thread's last error.
#pragma once

#include "minwinbase.h"
#include "winerror.h"

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#ifndef ERROR_NOT_LOCKED
#define ERROR_NOT_LOCKED 158L
#endif

// Access rights, spelled as the kernel headers spell them so both may be
// included together.
#ifndef DELETE
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define MAXIMUM_ALLOWED 0x02000000L
#endif

DWORD GetLastError();
VOID SetLastError(DWORD dwErrCode);

// Closing a file handle sends cleanup, and close once the last reference
// goes. Pseudo handles close as a no-op; INVALID_HANDLE_VALUE fails.
BOOL CloseHandle(HANDLE hObject);
