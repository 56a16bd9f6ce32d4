// Multimedia timer services.
#pragma once

#include "nt/basetypes.h"

typedef UINT MMRESULT;
#define TIMERR_NOERROR 0
#define TIMERR_NOCANDO 97

// Milliseconds since the machine started; wraps after 49.7 days.
DWORD timeGetTime();
// Requests for a finer timer period, counted per period; an end without a
// matching begin fails with TIMERR_NOCANDO. The machine's timers fire at
// their due time either way, so the period changes no timing here.
MMRESULT timeBeginPeriod(UINT uPeriod);
MMRESULT timeEndPeriod(UINT uPeriod);
