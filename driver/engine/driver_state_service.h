// The command-number service of CDriverState: latency queries, the busy
// count with its deferred settings commit, and the per-unit start records.
// Called under the stream configuration's spin lock, at PASSIVE_LEVEL or
// DISPATCH_LEVEL; commands 6-9 take SettingsLock inside, 10-27 take
// StartRecordLock. Unlisted commands return 0xFFFFFFFF.
#pragma once

#include <wdm.h>

#include "driver/core/driver_state.h"
#include "driver/engine/command_service.h"

enum DRIVER_STATE_COMMAND : ULONG {
  DsInputDeviceLatency = 0,
  DsOutputLatency = 1,
  DsAsioRingOffsets = 2,
  DsRequestFramesInFlight = 3,  // T1 x T2
  DsRequestMilliseconds = 4,
  DsRequestsInFlight = 5,
  DsStreamStarted = 6,
  DsStreamStopped = 7,
  DsStreamStartedWithWaiter = 8,
  DsStreamStoppedForgetWaiter = 9,
  DsClearDeviceRecords = 10,
  DsFindPartner = 11,
  DsGetInActive = 12,
  DsSetInActive = 13,
  DsClearInRecord = 14,
  DsSetStartState = 15,
  DsGetStartState = 16,
  DsSetInLastFrame = 17,
  DsGetInLastFrame = 18,
  DsSetInBaseFrame = 19,
  DsGetInBaseFrame = 20,
  DsGetOutActive = 21,
  DsSetOutActive = 22,
  DsClearOutRecord = 23,
  DsSetOutLastFrame = 24,
  DsGetOutLastFrame = 25,
  DsSetOutBaseFrame = 26,
  DsGetOutBaseFrame = 27,
  DsNothing = 28,
};

typedef ULONG (*DRIVER_STATE_SERVICE)(PVOID state, ULONG command, ULONG_PTR a, ULONG_PTR b,
                                      PULONG out1, PULONG out2);

// `state` is the CDriverState. Command 8 takes a PKEVENT in `a`.
ULONG DriverStateService(PVOID state, ULONG command, ULONG_PTR a, ULONG_PTR b, PULONG out1,
                         PULONG out2);
