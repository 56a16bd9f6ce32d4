// A machine whose main thread plays a user-mode program, with helpers for
// the kernel side of the same machine.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>
#include <wdm.h>

#include "platform/sim/dispatcher.h"
#include "platform/sim/machine.h"

namespace win32test {

class Win32Test : public testing::Test {
 protected:
  uint64_t MillisecondsSince(uint64_t start) const { return (machine.Now() - start) / sim::kMillisecond; }

  // Runs `routine(context)` on a simulated thread of `process` and waits for it.
  void RunInProcess(sim::Process& process, PKSTART_ROUTINE routine, PVOID context) {
    PKTHREAD thread = nullptr;
    ASSERT_EQ(sim::CreateSimulatedThread(machine, &process, routine, context, false, "test", &thread),
              STATUS_SUCCESS);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
  }

  sim::Machine machine;
};

inline LARGE_INTEGER Relative(uint64_t duration) {
  LARGE_INTEGER value;
  value.QuadPart = -static_cast<LONGLONG>(duration);
  return value;
}

}  // namespace win32test
