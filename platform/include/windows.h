// The user-mode Win32 API of the simulated platform.
#pragma once

#include "nt/basetypes.h"
#include "minwinbase.h"
#include "winerror.h"
#include "win32/handleapi.h"
#include "win32/synchapi.h"
#include "win32/processthreadsapi.h"
#include "win32/memoryapi.h"
#include "win32/fileapi.h"
#include "win32/sysinfoapi.h"
#include "winreg.h"

#ifndef MAX_PATH
#define MAX_PATH 260
#endif
