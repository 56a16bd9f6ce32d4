// IRQL and spin locks. A spin lock holds the owning thread's state address,
// so release by a non-owner and recursive acquisition are caught.

#include "platform/sim/dispatcher.h"
#include "platform/sim/verifier.h"

namespace {

ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&sim::CurrentThreadState()); }

void IrqlFail(const char* rule, const char* what, KIRQL from, KIRQL to, const std::source_location& caller) {
  char detail[96];
  snprintf(detail, sizeof detail, "%s from IRQL %d to %d", what, from, to);
  sim::VerifierFail(rule, detail, caller);
}

void LowerTo(KIRQL newIrql, const char* what, const std::source_location& caller) {
  sim::ThreadState& state = sim::CurrentThreadState();
  if (newIrql > state.irql) IrqlFail(sim::rule::kIrqlNotLess, what, state.irql, newIrql, caller);
  if (newIrql < state.baseIrql) IrqlFail(sim::rule::kIrqlBelowBase, what, state.irql, newIrql, caller);
  state.irql = newIrql;
}

}  // namespace

KIRQL KeGetCurrentIrql() { return sim::CurrentThreadState().irql; }

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql, const std::source_location& Caller) {
  sim::ThreadState& state = sim::CurrentThreadState();
  if (NewIrql < state.irql) IrqlFail(sim::rule::kIrqlNotGreater, "KeRaiseIrql", state.irql, NewIrql, Caller);
  *OldIrql = state.irql;
  state.irql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql, const std::source_location& Caller) { LowerTo(NewIrql, "KeLowerIrql", Caller); }

KIRQL KeRaiseIrqlToDpcLevel(const std::source_location& Caller) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old, Caller);
  return old;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const std::source_location& Caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL)
    IrqlFail(sim::rule::kSpinLockIrql, "KeAcquireSpinLockAtDpcLevel", irql, irql, Caller);
  ULONG_PTR self = OwnerToken();
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == self)
    sim::VerifierFail(sim::rule::kSpinLockRecursion, "spin lock acquired again by its owner", Caller);
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 0) std::this_thread::yield();
  }
}

BOOLEAN KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock, const std::source_location& Caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL)
    IrqlFail(sim::rule::kSpinLockIrql, "KeTryToAcquireSpinLockAtDpcLevel", irql, irql, Caller);
  ULONG_PTR expected = 0;
  return __atomic_compare_exchange_n(SpinLock, &expected, OwnerToken(), false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock, const std::source_location& Caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql != DISPATCH_LEVEL)
    IrqlFail(sim::rule::kSpinLockIrql, "spin lock released", irql, irql, Caller);
  if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != OwnerToken())
    sim::VerifierFail(sim::rule::kSpinLockNotHeld, "release of a spin lock this thread does not hold", Caller);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql, const std::source_location& Caller) {
  sim::ThreadState& state = sim::CurrentThreadState();
  if (state.irql > DISPATCH_LEVEL)
    IrqlFail(sim::rule::kSpinLockIrql, "KeAcquireSpinLock", state.irql, DISPATCH_LEVEL, Caller);
  *OldIrql = state.irql;
  state.irql = DISPATCH_LEVEL;
  KeAcquireSpinLockAtDpcLevel(SpinLock, Caller);
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql, const std::source_location& Caller) {
  KeReleaseSpinLockFromDpcLevel(SpinLock, Caller);
  LowerTo(NewIrql, "KeReleaseSpinLock", Caller);
}

ULONG KeGetCurrentProcessorNumber() {
  sim::ThreadState& state = sim::CurrentThreadState();
  if (state.thread == nullptr || !state.thread->internal) return 0;
  return state.thread->machine->dispatcher().dpcProcessorOf(state.thread);
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char detail[160];
  snprintf(detail, sizeof detail, "bug check 0x%08X (%#lx, %#lx, %#lx, %#lx)", BugCheckCode,
           static_cast<unsigned long>(P1), static_cast<unsigned long>(P2), static_cast<unsigned long>(P3),
           static_cast<unsigned long>(P4));
  sim::VerifierFail("BUGCHECK", detail);
}
