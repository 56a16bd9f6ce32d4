// CreateThread threads: exit codes, identity, process and priority.

#include "tests/platform/win32/win32_fixture.h"

namespace {

using win32test::Win32Test;

using Threads = Win32Test;

struct Observed {
  HANDLE go = nullptr;
  DWORD id = 0;
  PEPROCESS process = nullptr;
  KPRIORITY kernelPriority = 0;
  int priority = 0;
};

[[noreturn]] void EndFromDeepInside(DWORD code) { ExitThread(code); }

DWORD WINAPI ObserveThenExit(LPVOID raw) {
  auto* observed = static_cast<Observed*>(raw);
  WaitForSingleObject(observed->go, INFINITE);
  observed->id = GetCurrentThreadId();
  observed->process = PsGetCurrentProcess();
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  observed->priority = GetThreadPriority(GetCurrentThread());
  observed->kernelPriority = KeQueryPriorityThread(KeGetCurrentThread());
  EndFromDeepInside(0xC0DE);
}

TEST_F(Threads, RunInTheCreatorsProcessAndReportTheirExitCode) {
  Observed observed;
  observed.go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, ObserveThenExit, &observed, 0, &id);
  ASSERT_NE(thread, nullptr);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

  SetEvent(observed.go);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 0xC0DEu);
  EXPECT_EQ(observed.id, id);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(observed.process, PsGetCurrentProcess());
  EXPECT_EQ(observed.priority, THREAD_PRIORITY_TIME_CRITICAL);
  EXPECT_EQ(observed.kernelPriority, 15);
  CloseHandle(thread);
  CloseHandle(observed.go);
}

struct PriorityCase {
  int relative;
  KPRIORITY kernel;
};

class Priorities : public Threads, public testing::WithParamInterface<PriorityCase> {};

TEST_P(Priorities, MapOntoTheNormalClass) {
  ASSERT_TRUE(SetThreadPriority(GetCurrentThread(), GetParam().relative));
  EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), GetParam().kernel);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), GetParam().relative);
}

INSTANTIATE_TEST_SUITE_P(Levels, Priorities,
                         testing::Values(PriorityCase{THREAD_PRIORITY_IDLE, 1}, PriorityCase{THREAD_PRIORITY_LOWEST, 6},
                                         PriorityCase{THREAD_PRIORITY_NORMAL, 8},
                                         PriorityCase{THREAD_PRIORITY_HIGHEST, 10},
                                         PriorityCase{THREAD_PRIORITY_TIME_CRITICAL, 15}));

TEST_F(Threads, RefuseWhatTheyCannotDo) {
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 3));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateThread(nullptr, 0, ObserveThenExit, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(CloseHandle(GetCurrentThread())) << "closing the pseudo handle does nothing";
}

}  // namespace
