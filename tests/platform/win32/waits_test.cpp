// Waits, events and sleeping in the machine's virtual time: results,
// order, reset behaviour and exact timeouts.

#include <mmsystem.h>

#include <vector>

#include "tests/platform/win32/win32_fixture.h"

namespace {

using win32test::Win32Test;

class Waits : public Win32Test {
 protected:
  void SetUp() override {
    for (HANDLE& event : events) event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  }
  void TearDown() override {
    for (HANDLE event : events) CloseHandle(event);
  }
  DWORD WaitAny(DWORD milliseconds) { return WaitForMultipleObjects(3, events, FALSE, milliseconds); }

  HANDLE events[3] = {};
};

TEST_F(Waits, AnyReportsTheLowestSignalledIndexFirst) {
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WaitAny(0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitAny(0), WAIT_OBJECT_0 + 2) << "the first wait consumed only its own event";
  EXPECT_EQ(WaitAny(0), static_cast<DWORD>(WAIT_TIMEOUT));
}

struct SetLater {
  HANDLE event;
  DWORD delay;
};

DWORD WINAPI SetEventLater(LPVOID raw) {
  auto* later = static_cast<SetLater*>(raw);
  Sleep(later->delay);
  SetEvent(later->event);
  return 0;
}

TEST_F(Waits, AnyWakesWhenAnEventIsSetLater) {
  SetLater later{events[1], 10};
  HANDLE setter = CreateThread(nullptr, 0, SetEventLater, &later, 0, nullptr);
  uint64_t start = machine.Now();
  EXPECT_EQ(WaitAny(INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(MillisecondsSince(start), 10u);
  WaitForSingleObject(setter, INFINITE);
  CloseHandle(setter);
}

class Timeouts : public Waits, public testing::WithParamInterface<DWORD> {};

TEST_P(Timeouts, ExpireAfterExactlyTheirMilliseconds) {
  uint64_t start = machine.Now();
  EXPECT_EQ(WaitAny(GetParam()), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(MillisecondsSince(start), GetParam());
  start = machine.Now();
  EXPECT_EQ(WaitForSingleObject(events[0], GetParam()), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(MillisecondsSince(start), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Milliseconds, Timeouts, testing::Values(0u, 1u, 30u, 60'000u));

TEST_F(Waits, AllWaitsForEveryEventAndConsumesThemTogether) {
  SetEvent(events[0]);
  SetEvent(events[2]);
  uint64_t start = machine.Now();
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 5), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(MillisecondsSince(start), 5u);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitAny(0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(Waits, ManualResetStaysSignalledUntilReset) {
  HANDLE manual = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
  ResetEvent(manual);
  EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  CloseHandle(manual);

  SetEvent(events[0]);
  EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(events[0], 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto reset";
}

TEST_F(Waits, RefusesListsItCannotWaitFor) {
  std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, events[0]);
  HANDLE twice[2] = {events[0], events[0]};
  struct Case {
    DWORD count;
    const HANDLE* handles;
    BOOL all;
  } cases[] = {{0, events, FALSE}, {MAXIMUM_WAIT_OBJECTS + 1, tooMany.data(), FALSE}, {2, twice, TRUE}};
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(WaitForMultipleObjects(c.count, c.handles, c.all, 0), WAIT_FAILED) << c.count;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << c.count;
  }
  SetEvent(events[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0) << "the same event twice is fine for any";
}

TEST_F(Waits, NamedEventsAreRefused) {
  EXPECT_EQ(CreateEventA(nullptr, FALSE, FALSE, "Local\\Tarvik"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Win32Test, SleepAndTheClocksAgree) {
  DWORD ticks = GetTickCount();
  DWORD time = timeGetTime();
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  Sleep(250);
  EXPECT_EQ(GetTickCount() - ticks, 250u);
  EXPECT_EQ(timeGetTime() - time, 250u);
  LARGE_INTEGER after;
  QueryPerformanceCounter(&after);
  EXPECT_EQ((after.QuadPart - counter.QuadPart) * 1000 / frequency.QuadPart, 250);
}

TEST_F(Win32Test, TimerPeriodsEndOnlyWhatBegan) {
  EXPECT_EQ(timeBeginPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(timeEndPeriod(2), static_cast<MMRESULT>(TIMERR_NOCANDO));
  EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOERROR));
  EXPECT_EQ(timeEndPeriod(1), static_cast<MMRESULT>(TIMERR_NOCANDO));
  EXPECT_EQ(timeBeginPeriod(0), static_cast<MMRESULT>(TIMERR_NOCANDO));
}

}  // namespace
