// Latency arithmetic: the buffer-level tables, the unit's device latency,
// the figures reported to clients and the ASIO ring leads. Pure integer
// arithmetic (one double in AsioRingOffsets); any IRQL.
#pragma once

#include <wdm.h>

#include "common/settings_record.h"

inline constexpr ULONG kBufferLevels = 10;

// Buffer level (BufSize2) tables; a level above 9 reads as 9.
ULONG RequestMilliseconds(ULONG bufferLevel);  // T1
ULONG RequestsInFlight(ULONG bufferLevel);     // T2
ULONG AsioExtraAllowance(ULONG bufferLevel);   // L3

// C1 of the rate's row; 0 when the rate is not in the table.
ULONG DeviceLatencyFrames(const DEVICE_LATENCY_ROW* table, ULONG rate);

// ceil(C1 / 2): the input side's share of the unit's latency.
ULONG InputDeviceLatency(const DEVICE_LATENCY_ROW* table, ULONG rate);
// Requests in flight at this rate plus floor(C1 / 2).
ULONG OutputLatency(const DEVICE_LATENCY_ROW* table, ULONG rate, ULONG bufferLevel);

// Capture and render leads of the ASIO rings for a buffer of `bufferFrames`
// at `rate`. Fails (outputs untouched) when either is 0 or the rate is too
// low to give two frames per request.
BOOLEAN AsioRingOffsets(ULONG bufferFrames, ULONG rate, ULONG bufferLevel, ULONG* lead,
                        ULONG* offset);

// The kernel's input and output latency for ASIO at the group rate, with the
// bus at `busRate` and the clients at `engineRate`.
VOID AsioLatencies(const DEVICE_LATENCY_ROW* table, ULONG groupRate, ULONG busRate,
                   ULONG engineRate, ULONG bufferLevel, ULONG* inputLatency,
                   ULONG* outputLatency);

// Users of the 1 ms system timer resolution. The count has its own spin lock;
// ExSetTimerResolution is called outside it. PASSIVE_LEVEL.
struct TIMER_RESOLUTION_USERS {
  LONG Count;
  KSPIN_LOCK Lock;
};
VOID InitializeTimerResolutionUsers(TIMER_RESOLUTION_USERS* users);
VOID HoldTimerResolution(TIMER_RESOLUTION_USERS* users);
VOID ReleaseTimerResolution(TIMER_RESOLUTION_USERS* users);
