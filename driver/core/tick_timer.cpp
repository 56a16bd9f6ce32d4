// The context's tick: a one-shot timer that its own DPC re-arms while the
// timer is enabled, so ticks come every 0.8 ms plus the tick's run time.

#include "driver/core/device_context.h"

namespace {

BOOLEAN IsEnabled(TICK_TIMER* timer) { return InterlockedCompareExchange(&timer->Enabled, 0, 0) != 0; }

VOID NTAPI OnTickDpc(PKDPC dpc, PVOID deferredContext, PVOID, PVOID) {
  auto* timer = static_cast<TICK_TIMER*>(deferredContext);
  CDeviceContext* owner = timer->Owner;
  ULONGLONG now = KeQueryInterruptTime();
  owner->OnTimerTick(static_cast<ULONG>(now) - static_cast<ULONG>(owner->LastTickTime));
  owner->LastTickTime = now;
  if (IsEnabled(timer)) {
    KeSetTimer(&timer->Timer, timer->DueTime, &timer->Dpc);
  }
}

}  // namespace

BOOLEAN StartTickTimer(TICK_TIMER* timer) {
  if (IsEnabled(timer)) {
    return TRUE;
  }
  KeInitializeTimer(&timer->Timer);
  KeInitializeDpc(&timer->Dpc, OnTickDpc, timer);
  timer->DueTime.QuadPart = kTickDueTime;
  InterlockedExchange(&timer->Enabled, 1);
  timer->Owner->LastTickTime = KeQueryInterruptTime();
  KeSetTimer(&timer->Timer, timer->DueTime, &timer->Dpc);
  return TRUE;
}

VOID StopTickTimer(TICK_TIMER* timer) {
  if (InterlockedExchange(&timer->Enabled, 0) == 0) {
    return;
  }
  // A tick already running may have read Enabled before it was cleared and
  // re-arm once more; the second round catches that one. After it no tick
  // routine runs, so the context may go.
  for (int round = 0; round < 2; ++round) {
    KeCancelTimer(&timer->Timer);
    KeFlushQueuedDpcs();
  }
}
