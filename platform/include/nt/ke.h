// Kernel core: IRQL, spin locks, dispatcher objects, waits, timers, DPCs,
// interlocked operations and time.
#pragma once

#include <source_location>

#include "nt/basetypes.h"
#include "ntstatus.h"

#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL 15

#define KernelMode 0
#define UserMode 1

#define MAXIMUM_WAIT_OBJECTS 64
#define THREAD_WAIT_OBJECTS 3

#define LOW_PRIORITY 0
#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31
#define MAXIMUM_PRIORITY 32

#define IO_NO_INCREMENT 0
#define IO_SOUND_INCREMENT 8
#define EVENT_INCREMENT 1

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer, SynchronizationTimer } TIMER_TYPE;
typedef enum _WAIT_TYPE { WaitAll, WaitAny, WaitNotification, WaitDequeue } WAIT_TYPE;
typedef enum _KWAIT_REASON {
  Executive,
  FreePage,
  PageIn,
  PoolAllocation,
  DelayExecution,
  Suspended,
  UserRequest,
  WrExecutive
} KWAIT_REASON;

// Object type codes carried in DISPATCHER_HEADER.Type.
enum {
  EventNotificationObject = 0,
  EventSynchronizationObject = 1,
  MutantObject = 2,
  ProcessObject = 3,
  QueueObject = 4,
  SemaphoreObject = 5,
  ThreadObject = 6,
  TimerNotificationObject = 8,
  TimerSynchronizationObject = 9,
};

// Plain data: dispatcher objects live in driver memory and are never
// constructed or destroyed, only initialised by their Ke routine.
typedef struct _DISPATCHER_HEADER {
  UCHAR Type;
  UCHAR Inserted;    // timers: queued on the machine's timer list
  UCHAR Size;
  UCHAR Initialized; // set by the Ke initialiser; checked by the verifier
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

struct _KDPC;
typedef VOID(NTAPI KDEFERRED_ROUTINE)(struct _KDPC* Dpc, PVOID DeferredContext,
                                      PVOID SystemArgument1, PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  USHORT Number;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
  PVOID DpcData;  // non-null while queued
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;
  ULARGE_INTEGER DueTime;  // interrupt time at which it expires
  LIST_ENTRY TimerListEntry;
  struct _KDPC* Dpc;
  ULONG Processor;
  LONG Period;  // milliseconds, 0 for one-shot
} KTIMER, *PKTIMER, *PRKTIMER;

typedef struct _KWAIT_BLOCK {
  LIST_ENTRY WaitListEntry;
  struct _KTHREAD* Thread;
  PVOID Object;
  USHORT WaitKey;
  UCHAR WaitType;
  UCHAR BlockState;
} KWAIT_BLOCK, *PKWAIT_BLOCK;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _ETHREAD* PETHREAD;
typedef struct _EPROCESS* PEPROCESS;
typedef struct _KPROCESS* PKPROCESS;

// Verifier-checked entry points take the caller's location as a defaulted
// last argument, so misuse names the caller; call sites are unchanged.
#define NT_CALLER_LOCATION const std::source_location& Caller = std::source_location::current()

// IRQL
KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql, NT_CALLER_LOCATION);
VOID KeLowerIrql(KIRQL NewIrql, NT_CALLER_LOCATION);
KIRQL KeRaiseIrqlToDpcLevel(NT_CALLER_LOCATION);

// Spin locks
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql, NT_CALLER_LOCATION);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, NT_CALLER_LOCATION);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, NT_CALLER_LOCATION);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, NT_CALLER_LOCATION);
BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, NT_CALLER_LOCATION);

// Events
VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait, NT_CALLER_LOCATION);
LONG KeResetEvent(PRKEVENT Event, NT_CALLER_LOCATION);
VOID KeClearEvent(PRKEVENT Event, NT_CALLER_LOCATION);
LONG KeReadStateEvent(PRKEVENT Event);

// Waits
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout, NT_CALLER_LOCATION);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                  KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                  BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray, NT_CALLER_LOCATION);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval, NT_CALLER_LOCATION);

// Timers and DPCs
VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc, NT_CALLER_LOCATION);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc,
                     NT_CALLER_LOCATION);
BOOLEAN KeCancelTimer(PKTIMER Timer, NT_CALLER_LOCATION);
BOOLEAN KeReadStateTimer(PKTIMER Timer);
VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2,
                         NT_CALLER_LOCATION);
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc, NT_CALLER_LOCATION);
VOID KeFlushQueuedDpcs();

// Threads
PKTHREAD KeGetCurrentThread();
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);

// Time: interrupt time and system time in 100-ns units.
ULONGLONG KeQueryInterruptTime();
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
ULONG KeQueryTimeIncrement();
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
ULONG KeGetCurrentProcessorNumber();

[[noreturn]] VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                               ULONG_PTR P4);

// Interlocked operations: sequentially consistent, like the full-barrier
// forms on Windows.
inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAdd(LONG volatile* p, LONG v) { return __atomic_add_fetch(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(LONG volatile* p, LONG v) { return __atomic_fetch_or(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* p, LONG v) { return __atomic_fetch_and(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedXor(LONG volatile* p, LONG v) { return __atomic_fetch_xor(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedDecrement64(LONG64 volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchange64(LONG64 volatile* p, LONG64 v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* p, LONG64 v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* p, LONG64 exchange, LONG64 comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG ReadNoFence(LONG const volatile* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline VOID KeMemoryBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

// Doubly linked lists
inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}
