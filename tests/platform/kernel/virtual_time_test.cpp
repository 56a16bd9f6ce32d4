// Virtual time: the clock moves only when every simulated thread waits, and
// then jumps straight to the next due event.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "platform/sim/machine.h"

namespace {

TEST(VirtualTime, TenSecondTimeoutEndsExactlyAtTenSecondsAndAtOnce) {
  sim::Machine machine;
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  auto wallStart = std::chrono::steady_clock::now();
  ULONGLONG start = KeQueryInterruptTime();

  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * static_cast<LONGLONG>(sim::kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);

  EXPECT_EQ(KeQueryInterruptTime() - start, 10 * sim::kSecond);
  // Virtual, not real: ten simulated seconds take a tiny fraction of that.
  EXPECT_LT(std::chrono::steady_clock::now() - wallStart, std::chrono::seconds(5));
}

struct RearmingTimer {
  KTIMER timer;
  KDPC dpc;
  std::atomic<int> fired{0};
  std::atomic<bool> allAtDispatch{true};
};

void RearmFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* t = static_cast<RearmingTimer*>(context);
  if (KeGetCurrentIrql() != DISPATCH_LEVEL) t->allAtDispatch = false;
  ++t->fired;
  LARGE_INTEGER due;
  due.QuadPart = -8'000;  // 0.8 ms
  KeSetTimer(&t->timer, due, &t->dpc);
}

TEST(VirtualTime, OneShotTimerRearmedFromItsDpcFires1250TimesASecond) {
  sim::Machine machine;
  RearmingTimer t;
  KeInitializeTimer(&t.timer);
  KeInitializeDpc(&t.dpc, RearmFromDpc, &t);
  LARGE_INTEGER due;
  due.QuadPart = -8'000;
  KeSetTimer(&t.timer, due, &t.dpc);

  // The 1250th expiry falls exactly on the one-second mark; look just after.
  machine.RunFor(sim::kSecond + 4'000);
  EXPECT_EQ(t.fired.load(), 1250);
  EXPECT_TRUE(t.allAtDispatch.load());
  KeCancelTimer(&t.timer);
  KeFlushQueuedDpcs();
}

struct SpinProbe {
  ULONGLONG before = 0;
  ULONGLONG after = 0;
};

void SpinWhileRunnable(PVOID context) {
  auto* probe = static_cast<SpinProbe*>(context);
  probe->before = KeQueryInterruptTime();
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
  while (std::chrono::steady_clock::now() < until) {
  }
  probe->after = KeQueryInterruptTime();
}

TEST(VirtualTime, ClockStandsStillWhileASimulatedThreadRuns) {
  sim::Machine machine;
  SpinProbe probe;
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SpinWhileRunnable, &probe),
            STATUS_SUCCESS);
  // The main thread waits 1 ms; the spinning thread keeps the clock at 0.
  machine.RunFor(sim::kMillisecond);
  PVOID thread;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
            STATUS_SUCCESS);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  ZwClose(handle);
  EXPECT_EQ(probe.before, probe.after);
}

TEST(VirtualTime, RunUntilStopsWhenTheConditionHolds) {
  sim::Machine machine;
  ULONGLONG start = KeQueryInterruptTime();
  EXPECT_TRUE(machine.RunUntil([&] { return KeQueryInterruptTime() - start >= 5 * sim::kMillisecond; },
                               sim::kSecond, sim::kMillisecond));
  EXPECT_EQ(KeQueryInterruptTime() - start, 5 * sim::kMillisecond);
  EXPECT_FALSE(machine.RunUntil([] { return false; }, 3 * sim::kMillisecond));
}

struct PeriodicCount {
  KTIMER timer;
  KDPC dpc;
  std::atomic<int> fired{0};
};

TEST(RealTime, PeriodicTimerFollowsTheWallClock) {
  sim::Machine machine(sim::MachineOptions{.clock = sim::ClockMode::RealTime});
  PeriodicCount p;
  KeInitializeTimerEx(&p.timer, SynchronizationTimer);
  KeInitializeDpc(
      &p.dpc, [](PKDPC, PVOID context, PVOID, PVOID) { ++static_cast<PeriodicCount*>(context)->fired; }, &p);
  auto wallStart = std::chrono::steady_clock::now();
  LARGE_INTEGER due;
  due.QuadPart = -5 * static_cast<LONGLONG>(sim::kMillisecond);
  KeSetTimerEx(&p.timer, due, 5, &p.dpc);
  ASSERT_TRUE(machine.RunUntil([&] { return p.fired.load() >= 4; }, 5 * sim::kSecond, sim::kMillisecond));
  EXPECT_GE(std::chrono::steady_clock::now() - wallStart, std::chrono::milliseconds(20));
  // The timer is signalled too: a waiter is released by the next period.
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(sim::kSecond);
  EXPECT_EQ(KeWaitForSingleObject(&p.timer, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  EXPECT_TRUE(KeCancelTimer(&p.timer));
  KeFlushQueuedDpcs();
}

}  // namespace
