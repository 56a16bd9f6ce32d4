// A machine and helpers for driving MDLs over user buffers as a driver does.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>

#include "platform/sim/address_space.h"
#include "platform/sim/dispatcher.h"
#include "platform/sim/machine.h"
#include "platform/sim/pool.h"

namespace mdltest {

// Probes and locks as a driver does, returning the status a raise carried.
inline NTSTATUS ProbeAndLock(PMDL mdl, KPROCESSOR_MODE mode, LOCK_OPERATION operation) {
  __try {
    MmProbeAndLockPages(mdl, mode, operation);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    return GetExceptionCode();
  }
  return STATUS_SUCCESS;
}

class MdlTest : public testing::Test {
 protected:
  sim::Process& user() { return machine.objects().userProcess(); }
  sim::UserAddressSpace& space() { return sim::UserAddressSpace::Of(user()); }

  // Nothing of the lock, the mapping or the MDL itself is left behind.
  void ExpectNothingHeld() {
    EXPECT_EQ(space().lockCount(), 0u);
    EXPECT_EQ(space().systemViewCount(), 0u);
    EXPECT_EQ(machine.pool().liveBlocks(), 0u);
  }

  sim::Machine machine;
};

}  // namespace mdltest
