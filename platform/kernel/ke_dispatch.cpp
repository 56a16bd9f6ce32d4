// Events, waits, timers and DPCs: argument and IRQL checks, then the
// dispatcher does the work.

#include "platform/sim/dispatcher.h"
#include "platform/sim/verifier.h"

namespace {

sim::Dispatcher& DispatcherOfMachine() { return sim::Machine::CurrentChecked().dispatcher(); }

void CheckInitialized(const DISPATCHER_HEADER* header, const char* what, const std::source_location& caller) {
  if (header->Initialized != sim::kInitializedMark)
    sim::VerifierFail(sim::rule::kObjectUninitialized, std::string(what) + " used before initialisation", caller);
}

void CheckWaitIrql(const LARGE_INTEGER* timeout, const std::source_location& caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql >= DISPATCH_LEVEL && (timeout == nullptr || timeout->QuadPart != 0)) {
    char detail[96];
    snprintf(detail, sizeof detail, "wait %s at IRQL %d", timeout ? "with a non-zero timeout" : "without a timeout",
             irql);
    sim::VerifierFail(sim::rule::kWaitAtDispatch, detail, caller);
  }
}

}  // namespace

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  Event->Header.Inserted = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.Initialized = sim::kInitializedMark;
  InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN, const std::source_location& Caller) {
  CheckInitialized(&Event->Header, "event", Caller);
  sim::Dispatcher& dispatcher = DispatcherOfMachine();
  std::lock_guard<std::mutex> guard(dispatcher.lock());
  LONG previous = Event->Header.SignalState;
  dispatcher.SetEventLocked(Event);
  return previous;
}

LONG KeResetEvent(PRKEVENT Event, const std::source_location& Caller) {
  CheckInitialized(&Event->Header, "event", Caller);
  sim::Dispatcher& dispatcher = DispatcherOfMachine();
  std::lock_guard<std::mutex> guard(dispatcher.lock());
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event, const std::source_location& Caller) { KeResetEvent(Event, Caller); }

LONG KeReadStateEvent(PRKEVENT Event) {
  sim::Dispatcher& dispatcher = DispatcherOfMachine();
  std::lock_guard<std::mutex> guard(dispatcher.lock());
  return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                               const std::source_location& Caller) {
  CheckWaitIrql(Timeout, Caller);
  return DispatcherOfMachine().Wait(sim::CurrentThreadForWait(), 1, &Object, WaitAny, Timeout, Caller);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout, PKWAIT_BLOCK WaitBlockArray,
                                  const std::source_location& Caller) {
  CheckWaitIrql(Timeout, Caller);
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
  // Windows requires caller-supplied wait blocks beyond three objects.
  if (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)
    sim::VerifierFail("WAIT_BLOCKS_REQUIRED", "more than three objects without a wait block array", Caller);
  if (WaitType != WaitAll && WaitType != WaitAny) return STATUS_INVALID_PARAMETER;
  return DispatcherOfMachine().Wait(sim::CurrentThreadForWait(), Count, Object, WaitType, Timeout, Caller);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval,
                                const std::source_location& Caller) {
  if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
  CheckWaitIrql(Interval, Caller);
  NTSTATUS status = DispatcherOfMachine().Wait(sim::CurrentThreadForWait(), 0, nullptr, WaitAny, Interval, Caller);
  return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  Timer->Header.Type = Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
  Timer->Header.Inserted = 0;
  Timer->Header.SignalState = 0;
  Timer->Header.Initialized = sim::kInitializedMark;
  InitializeListHead(&Timer->Header.WaitListHead);
  InitializeListHead(&Timer->TimerListEntry);
  Timer->DueTime.QuadPart = 0;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
  Timer->Processor = 0;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, const std::source_location& Caller) {
  return KeSetTimerEx(Timer, DueTime, 0, Dpc, Caller);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc,
                     const std::source_location& Caller) {
  CheckInitialized(&Timer->Header, "timer", Caller);
  if (Period < 0) sim::VerifierFail("TIMER_NEGATIVE_PERIOD", "KeSetTimerEx with a negative period", Caller);
  return DispatcherOfMachine().SetTimer(Timer, DueTime, Period, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer, const std::source_location& Caller) {
  CheckInitialized(&Timer->Header, "timer", Caller);
  return DispatcherOfMachine().CancelTimer(Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  sim::Dispatcher& dispatcher = DispatcherOfMachine();
  std::lock_guard<std::mutex> guard(dispatcher.lock());
  return Timer->Header.SignalState > 0;
}

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  Dpc->Type = 0x13;
  Dpc->Importance = 1;
  Dpc->Number = 0;
  Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
  Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
  Dpc->DpcData = nullptr;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2,
                         const std::source_location& Caller) {
  if (Dpc->Type != 0x13) sim::VerifierFail(sim::rule::kObjectUninitialized, "DPC used before KeInitializeDpc", Caller);
  return DispatcherOfMachine().InsertDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc, const std::source_location&) { return DispatcherOfMachine().RemoveDpc(Dpc); }

VOID KeFlushQueuedDpcs() {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    sim::VerifierFail(sim::rule::kPassiveOnly, "KeFlushQueuedDpcs above PASSIVE_LEVEL");
  DispatcherOfMachine().FlushDpcs(sim::CurrentThreadForWait());
}
