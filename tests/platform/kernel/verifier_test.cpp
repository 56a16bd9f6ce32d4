// The verifier turns each misuse into an immediate failure that names the
// rule; these are death tests, one per rule.

#include <gtest/gtest.h>

#include "platform/sim/machine.h"

namespace {

LARGE_INTEGER Relative(uint64_t duration) {
  LARGE_INTEGER value;
  value.QuadPart = -static_cast<LONGLONG>(duration);
  return value;
}

void WaitWithTimeoutAtDispatch() {
  sim::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER timeout = Relative(sim::kMillisecond);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

void ReleaseUnheldSpinLock() {
  sim::Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeReleaseSpinLock(&lock, old);
}

void ReleaseSpinLockAtPassive() {
  sim::Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeLowerIrql(PASSIVE_LEVEL);
  KeReleaseSpinLockFromDpcLevel(&lock);
}

void AcquireSpinLockTwice() {
  sim::Machine machine;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeAcquireSpinLockAtDpcLevel(&lock);
}

void LowerIrqlUpwards() {
  sim::Machine machine;
  KeLowerIrql(DISPATCH_LEVEL);
}

struct DpcLowers {
  KDPC dpc;
};
void LowerBelowDispatchInDpc() {
  sim::Machine machine;
  DpcLowers d;
  KeInitializeDpc(&d.dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
  KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
  KeFlushQueuedDpcs();
}

void FreePoolTwice() {
  sim::Machine machine;
  void* block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 'tseT');
  ExFreePoolWithTag(block, 'tseT');
  ExFreePoolWithTag(block, 'tseT');
}

void FreePoolWithWrongTag() {
  sim::Machine machine;
  void* block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 16, 'tseT');
  ExFreePoolWithTag(block, 'gnrW');
}

void FreePoolHoldingASetTimer() {
  sim::Machine machine;
  auto* timer = static_cast<KTIMER*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(KTIMER), 'tseT'));
  KeInitializeTimer(timer);
  KeSetTimer(timer, Relative(sim::kSecond), nullptr);
  ExFreePoolWithTag(timer, 'tseT');
}

void LeakPool() {
  sim::Machine machine;
  ExAllocatePool2(POOL_FLAG_NON_PAGED, 48, 'kaeL');
}

void LeakTimer() {
  static KTIMER timer;
  sim::Machine machine;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(sim::kSecond), nullptr);
}

void LeakThread() {
  static KEVENT never;
  sim::Machine machine;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  HANDLE handle;
  PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                       [](PVOID) { KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr); }, nullptr);
  ZwClose(handle);
}

void LeakKernelHandle() {
  sim::Machine machine;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, [](PVOID) {}, nullptr);
  machine.RunFor(sim::kMillisecond);
}

void ExitThreadAtDispatch() {
  sim::Machine machine;
  HANDLE handle;
  PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                       [](PVOID) {
                         KIRQL old;
                         KeRaiseIrql(DISPATCH_LEVEL, &old);
                       },
                       nullptr);
  machine.RunFor(sim::kMillisecond);
}

void WaitOnUninitializedEvent() {
  sim::Machine machine;
  KEVENT event{};
  LARGE_INTEGER timeout = Relative(sim::kMillisecond);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

struct DeathCase {
  const char* name;
  void (*body)();
  const char* message;
};

class Verifier : public testing::TestWithParam<DeathCase> {};

TEST_P(Verifier, CatchesTheMisuseAndNamesTheRule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(GetParam().body(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Verifier,
    testing::Values(
        DeathCase{"WaitWithTimeoutAtDispatch", WaitWithTimeoutAtDispatch, "WAIT_AT_DISPATCH_LEVEL.*verifier_test"},
        DeathCase{"ReleaseUnheldSpinLock", ReleaseUnheldSpinLock, "SPIN_LOCK_NOT_OWNED"},
        DeathCase{"ReleaseSpinLockAtPassive", ReleaseSpinLockAtPassive, "SPIN_LOCK_WRONG_IRQL"},
        DeathCase{"AcquireSpinLockTwice", AcquireSpinLockTwice, "SPIN_LOCK_ALREADY_OWNED"},
        DeathCase{"LowerIrqlUpwards", LowerIrqlUpwards, "IRQL_NOT_LESS_OR_EQUAL"},
        DeathCase{"LowerBelowDispatchInDpc", LowerBelowDispatchInDpc, "IRQL_LOWERED_BELOW_ENTRY_LEVEL"},
        DeathCase{"FreePoolTwice", FreePoolTwice, "POOL_FREE_OF_UNKNOWN_BLOCK"},
        DeathCase{"FreePoolWithWrongTag", FreePoolWithWrongTag, "POOL_FREE_WITH_WRONG_TAG.*'Test'.*'Wrng'"},
        DeathCase{"FreePoolHoldingASetTimer", FreePoolHoldingASetTimer, "POOL_FREE_OF_ACTIVE_TIMER_OR_DPC"},
        DeathCase{"LeakPool", LeakPool, "POOL_LEAK.*'Leak' 1 blocks \\(48 bytes\\)"},
        DeathCase{"LeakTimer", LeakTimer, "TIMER_LEFT_SET"},
        DeathCase{"LeakThread", LeakThread, "THREAD_LEFT_RUNNING"},
        DeathCase{"LeakKernelHandle", LeakKernelHandle, "KERNEL_HANDLE_LEAK"},
        DeathCase{"ExitThreadAtDispatch", ExitThreadAtDispatch, "THREAD_EXIT_AT_RAISED_IRQL"},
        DeathCase{"WaitOnUninitializedEvent", WaitOnUninitializedEvent, "UNINITIALIZED_DISPATCHER_OBJECT"}),
    [](const testing::TestParamInfo<DeathCase>& info) { return std::string(info.param.name); });

}  // namespace
