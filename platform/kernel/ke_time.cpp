// Time: interrupt time, system time, tick count and performance counter,
// all read from the machine's one clock.

#include "platform/sim/dispatcher.h"

namespace {
constexpr ULONG kClockInterval = 156'250;  // 100-ns units per clock tick
constexpr LONGLONG kPerformanceFrequency = 10'000'000;
}  // namespace

ULONGLONG KeQueryInterruptTime() { return sim::Machine::CurrentChecked().Now(); }

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  sim::Machine& machine = sim::Machine::CurrentChecked();
  CurrentTime->QuadPart = static_cast<LONGLONG>(machine.dispatcher().SystemTimeBase() + machine.Now());
}

VOID KeQueryTickCount(PLARGE_INTEGER TickCount) {
  TickCount->QuadPart = static_cast<LONGLONG>(sim::Machine::CurrentChecked().Now() / kClockInterval);
}

ULONG KeQueryTimeIncrement() { return kClockInterval; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = kPerformanceFrequency;
  LARGE_INTEGER counter;
  counter.QuadPart = static_cast<LONGLONG>(sim::Machine::CurrentChecked().Now());
  return counter;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
  auto* a = static_cast<const unsigned char*>(Source1);
  auto* b = static_cast<const unsigned char*>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}
