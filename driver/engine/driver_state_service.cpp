#include "driver/engine/driver_state_service.h"

#include "driver/engine/latency.h"

namespace {

// Copies what a commit may change, only while no stream runs.
// Caller holds SettingsLock.
VOID CommitPending(CDriverState* s) {
  if (s->ActiveStreamCount < 1) RtlCopyMemory(&s->Active, &s->Pending, kSettingsCommitBytes);
}

ULONG BusyCount(CDriverState* s, ULONG command, PKEVENT waiter) {
  KIRQL irql;
  KeAcquireSpinLock(&s->SettingsLock, &irql);
  switch (command) {
    case DsStreamStartedWithWaiter:
      s->WaiterEvent = waiter;
      [[fallthrough]];
    case DsStreamStarted:
      ++s->ActiveStreamCount;
      break;
    case DsStreamStopped:
      // The last stream but one is going: wake whoever waits to apply a
      // setting that needs a restart.
      if (--s->ActiveStreamCount == 1 && s->WaiterEvent != nullptr &&
          (SettingsChangeFlags(s->Active, s->Pending) & kSettingsChangeRestart) != 0) {
        KeSetEvent(s->WaiterEvent, IO_NO_INCREMENT, FALSE);
        s->WaiterEvent = nullptr;
      }
      CommitPending(s);
      break;
    case DsStreamStoppedForgetWaiter:
      --s->ActiveStreamCount;
      s->WaiterEvent = nullptr;
      CommitPending(s);
      break;
  }
  const LONG count = s->ActiveStreamCount;
  KeReleaseSpinLock(&s->SettingsLock, irql);
  return static_cast<ULONG>(count);
}

// Among the active IN records other than the caller's, the first in state 6,
// else the one in the highest state (the lower index on a tie), else -1.
// Caller holds StartRecordLock.
LONG FindPartner(CDriverState* s, ULONG device) {
  LONG best = -1;
  LONG bestState = 0;
  for (ULONG i = 0; i < kStartRecordDevices; ++i) {
    const DEVICE_START_RECORD* record = s->InRecord(i);
    if (i == device || record->Active == 0) continue;
    if (record->StartState == 6) return static_cast<LONG>(i);
    if (best < 0 || record->StartState > bestState) {
      best = static_cast<LONG>(i);
      bestState = record->StartState;
    }
  }
  return best;
}

ULONG StartRecords(CDriverState* s, ULONG command, ULONG device, ULONG value) {
  KIRQL irql;
  KeAcquireSpinLock(&s->StartRecordLock, &irql);
  ULONG result = 0;
  if (command == DsFindPartner) {
    result = static_cast<ULONG>(FindPartner(s, device));
  } else if (device >= kStartRecordDevices) {
    // No such unit: nothing changes, everything reads as 0 and idle.
    if (command == DsGetStartState) result = static_cast<ULONG>(kStartStateIdle);
  } else {
    DEVICE_START_RECORD* in = s->InRecord(device);
    DEVICE_START_RECORD* out = s->OutRecord(device);
    switch (command) {
      case DsClearDeviceRecords: ClearStartRecord(in); ClearStartRecord(out); break;
      case DsGetInActive: result = static_cast<ULONG>(in->Active); break;
      case DsSetInActive: in->Active = 1; break;
      case DsClearInRecord: ClearStartRecord(in); break;
      case DsSetStartState: {
        const LONG state = static_cast<LONG>(value);
        in->StartState = state < 6 ? state : 6;
        break;
      }
      case DsGetStartState: result = static_cast<ULONG>(in->StartState); break;
      case DsSetInLastFrame: in->LastFrame = value; break;
      case DsGetInLastFrame: result = in->LastFrame; break;
      case DsSetInBaseFrame: in->BaseFrame = value; break;
      case DsGetInBaseFrame: result = in->BaseFrame; break;
      case DsGetOutActive: result = static_cast<ULONG>(out->Active); break;
      case DsSetOutActive: out->Active = 1; break;
      case DsClearOutRecord: ClearStartRecord(out); break;
      case DsSetOutLastFrame: out->LastFrame = value; break;
      case DsGetOutLastFrame: result = out->LastFrame; break;
      case DsSetOutBaseFrame: out->BaseFrame = value; break;
      case DsGetOutBaseFrame: result = out->BaseFrame; break;
    }
  }
  KeReleaseSpinLock(&s->StartRecordLock, irql);
  return result;
}

}  // namespace

ULONG DriverStateService(PVOID state, ULONG command, ULONG_PTR a, ULONG_PTR b, PULONG out1,
                         PULONG out2) {
  auto* s = static_cast<CDriverState*>(state);
  const ULONG level = s->Active.BufSize2;
  const auto a32 = static_cast<ULONG>(a);
  switch (command) {
    case DsInputDeviceLatency:
      return InputDeviceLatency(s->LatencyTable, a32);
    case DsOutputLatency:
      return OutputLatency(s->LatencyTable, a32, level);
    case DsAsioRingOffsets:
      if (out1 == nullptr || out2 == nullptr) return 0;
      return AsioRingOffsets(a32, static_cast<ULONG>(b), level, out1, out2) ? 1 : 0;
    case DsRequestFramesInFlight:
      return RequestMilliseconds(level) * RequestsInFlight(level);
    case DsRequestMilliseconds:
      return RequestMilliseconds(level);
    case DsRequestsInFlight:
      return RequestsInFlight(level);
    case DsStreamStarted:
    case DsStreamStopped:
    case DsStreamStartedWithWaiter:
    case DsStreamStoppedForgetWaiter:
      return BusyCount(s, command, reinterpret_cast<PKEVENT>(a));
    case DsNothing:
      return 0;
    default:
      if (command >= DsClearDeviceRecords && command <= DsGetOutBaseFrame) {
        return StartRecords(s, command, a32, static_cast<ULONG>(b));
      }
      return kServiceUnlisted;
  }
}
