// Events, multiple-object waits, timers as dispatcher objects, and spin locks
// protecting real concurrency between a passive thread and a DPC.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/sim/machine.h"

namespace {

LARGE_INTEGER Relative(uint64_t duration) {
  LARGE_INTEGER value;
  value.QuadPart = -static_cast<LONGLONG>(duration);
  return value;
}

// A system thread that waits once on an event and records when it woke.
struct Waiter {
  PKEVENT event;
  std::atomic<bool> woke{false};
  NTSTATUS status = STATUS_PENDING;
  HANDLE handle = nullptr;
  PVOID thread = nullptr;

  void Start() {
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, &Waiter::Main, this),
              STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
  }
  static void Main(PVOID context) {
    auto* self = static_cast<Waiter*>(context);
    LARGE_INTEGER timeout = Relative(sim::kSecond);
    self->status = KeWaitForSingleObject(self->event, Executive, KernelMode, FALSE, &timeout);
    self->woke = true;
  }
  void Join() {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
    ZwClose(handle);
  }
};

TEST(Events, NotificationEventReleasesEveryWaiterAndStaysSet) {
  sim::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  Waiter a{&event}, b{&event};
  a.Start();
  b.Start();
  machine.RunFor(sim::kMillisecond);
  EXPECT_FALSE(a.woke || b.woke);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  a.Join();
  b.Join();
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(b.status, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
}

TEST(Events, SynchronizationEventReleasesExactlyOneWaiterAndResets) {
  sim::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  Waiter a{&event}, b{&event};
  a.Start();
  b.Start();
  machine.RunFor(sim::kMillisecond);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  machine.RunFor(sim::kMillisecond);
  EXPECT_EQ(int(a.woke) + int(b.woke), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  a.Join();
  b.Join();
  EXPECT_EQ(a.status, STATUS_SUCCESS);
  EXPECT_EQ(b.status, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Events, SynchronizationEventSetWithoutWaiterSatisfiesOneLaterWait) {
  sim::Machine machine;
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  LARGE_INTEGER poll;
  poll.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeResetEvent(&event), 0);
}

TEST(Waits, WaitAnyReportsTheLowestSignalledIndex) {
  sim::Machine machine;
  KEVENT events[3];
  for (auto& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
  PVOID objects[3] = {&events[0], &events[1], &events[2]};
  KWAIT_BLOCK blocks[3];
  KeSetEvent(&events[2], IO_NO_INCREMENT, FALSE);
  KeSetEvent(&events[1], IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER timeout = Relative(sim::kMillisecond);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks),
            STATUS_WAIT_1);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks),
            STATUS_WAIT_2);
  EXPECT_EQ(KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, &timeout, blocks),
            STATUS_TIMEOUT);
}

TEST(Waits, WaitAllNeedsEveryObjectAndConsumesThemTogether) {
  sim::Machine machine;
  KEVENT a, b;
  KeInitializeEvent(&a, SynchronizationEvent, TRUE);
  KeInitializeEvent(&b, SynchronizationEvent, FALSE);
  PVOID objects[2] = {&a, &b};
  LARGE_INTEGER timeout = Relative(2 * sim::kMillisecond);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeQueryInterruptTime() - start, 2 * sim::kMillisecond);
  // A timed-out WaitAll leaves the signalled object alone.
  EXPECT_EQ(KeReadStateEvent(&a), 1);
  KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &timeout, nullptr),
            STATUS_WAIT_0);
  EXPECT_EQ(KeReadStateEvent(&a), 0);
  EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST(Waits, AbsoluteTimeoutIsInSystemTime) {
  sim::Machine machine;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  LARGE_INTEGER deadline;
  deadline.QuadPart = now.QuadPart + 3 * static_cast<LONGLONG>(sim::kMillisecond);
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  EXPECT_EQ(KeQueryInterruptTime() - start, 3 * sim::kMillisecond);
}

TEST(Timers, TimerIsSignalledWhenItExpiresAndCancelReportsWhetherItWasSet) {
  sim::Machine machine;
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Relative(7 * sim::kMillisecond), nullptr);
  EXPECT_FALSE(KeReadStateTimer(&timer));
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeQueryInterruptTime() - start, 7 * sim::kMillisecond);
  EXPECT_TRUE(KeReadStateTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  KeSetTimer(&timer, Relative(sim::kSecond), nullptr);
  EXPECT_TRUE(KeSetTimer(&timer, Relative(sim::kSecond), nullptr));  // re-arming a set timer
  EXPECT_TRUE(KeCancelTimer(&timer));
}

struct Counter {
  KSPIN_LOCK lock;
  KDPC dpc;
  KTIMER timer;
  long value = 0;  // guarded by lock
  std::atomic<int> dpcs{0};
};

void IncrementUnderLockDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<Counter*>(context);
  for (int i = 0; i < 1000; ++i) {
    KeAcquireSpinLockAtDpcLevel(&c->lock);
    ++c->value;
    KeReleaseSpinLockFromDpcLevel(&c->lock);
  }
  ++c->dpcs;
}

TEST(SpinLocks, PassiveThreadAndDpcExcludeEachOther) {
  sim::Machine machine;
  Counter c;
  KeInitializeSpinLock(&c.lock);
  KeInitializeDpc(&c.dpc, IncrementUnderLockDpc, &c);
  KeInitializeTimer(&c.timer);
  KeSetTimerEx(&c.timer, Relative(sim::kMillisecond), 1, &c.dpc);
  for (int round = 0; round < 20; ++round) {
    for (int i = 0; i < 1000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&c.lock, &old);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
      ++c.value;
      KeReleaseSpinLock(&c.lock, old);
    }
    machine.RunFor(sim::kMillisecond);
  }
  KeCancelTimer(&c.timer);
  KeFlushQueuedDpcs();
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(c.value, 20 * 1000 + c.dpcs.load() * 1000);
  EXPECT_EQ(c.dpcs.load(), 20);
}

struct DpcPair {
  KDPC outer, inner;
  std::atomic<int> innerRuns{0};
  BOOLEAN results[4] = {};
};

TEST(Dpcs, AQueuedDpcIsQueuedOnceAndRemovalTakesItOff) {
  sim::Machine machine;  // one DPC processor: the inner DPC cannot run while the outer one does
  DpcPair p;
  KeInitializeDpc(&p.inner, [](PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<DpcPair*>(context)->innerRuns; }, &p);
  KeInitializeDpc(
      &p.outer,
      [](PKDPC, PVOID context, PVOID, PVOID) {
        auto* q = static_cast<DpcPair*>(context);
        q->results[0] = KeInsertQueueDpc(&q->inner, nullptr, nullptr);
        q->results[1] = KeInsertQueueDpc(&q->inner, nullptr, nullptr);
        q->results[2] = KeRemoveQueueDpc(&q->inner);
        q->results[3] = KeInsertQueueDpc(&q->inner, nullptr, nullptr);
      },
      &p);
  KeInsertQueueDpc(&p.outer, nullptr, nullptr);
  KeFlushQueuedDpcs();
  EXPECT_TRUE(p.results[0]);
  EXPECT_FALSE(p.results[1]);
  EXPECT_TRUE(p.results[2]);
  EXPECT_TRUE(p.results[3]);
  EXPECT_EQ(p.innerRuns.load(), 1);
}

TEST(TimerResolution, RequestsAreCountedAndTheLastReleaseRestoresTheDefault) {
  sim::Machine machine;
  EXPECT_EQ(ExSetTimerResolution(10'000, TRUE), 10'000u);
  EXPECT_EQ(ExSetTimerResolution(10'000, TRUE), 10'000u);
  ExSetTimerResolution(0, FALSE);
  EXPECT_EQ(machine.timerResolution().current, 10'000u);
  EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156'250u);
  auto state = machine.timerResolution();
  EXPECT_EQ(state.setCalls, 2);
  EXPECT_EQ(state.releaseCalls, 2);
  EXPECT_EQ(state.activeRequests, 0);
}

}  // namespace
