// Misuse of MDLs fails at once and names the rule.

#include "tests/platform/mdl/mdl_fixture.h"

namespace {

using mdltest::ProbeAndLock;

struct Misuse {
  const char* name;
  void (*body)();
  const char* message;
};

// Each body runs in a death test's child: a machine of its own and an MDL
// over a locked user buffer.
PMDL LockedMdl(sim::Machine& machine, sim::UserBuffer& buffer) {
  PMDL mdl = IoAllocateMdl(buffer.data(), static_cast<ULONG>(buffer.size()), FALSE, FALSE, nullptr);
  ProbeAndLock(mdl, UserMode, IoWriteAccess);
  return mdl;
}

void FreeWhileLocked() {
  sim::Machine machine;
  sim::UserBuffer buffer(machine.objects().userProcess(), 64);
  IoFreeMdl(LockedMdl(machine, buffer));
}

void UnlockTwice() {
  sim::Machine machine;
  sim::UserBuffer buffer(machine.objects().userProcess(), 64);
  PMDL mdl = LockedMdl(machine, buffer);
  MmUnlockPages(mdl);
  MmUnlockPages(mdl);
}

void LockTwice() {
  sim::Machine machine;
  sim::UserBuffer buffer(machine.objects().userProcess(), 64);
  ProbeAndLock(LockedMdl(machine, buffer), UserMode, IoWriteAccess);
}

void MapUnlocked() {
  sim::Machine machine;
  sim::UserBuffer buffer(machine.objects().userProcess(), 64);
  PMDL mdl = IoAllocateMdl(buffer.data(), 64, FALSE, FALSE, nullptr);
  MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
}

void MapTwice() {
  sim::Machine machine;
  sim::UserBuffer buffer(machine.objects().userProcess(), 64);
  PMDL mdl = LockedMdl(machine, buffer);
  MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
  MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
}

void UnmapTheUserAddress() {
  sim::Machine machine;
  sim::UserBuffer buffer(machine.objects().userProcess(), 64);
  PMDL mdl = LockedMdl(machine, buffer);
  MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
  MmUnmapLockedPages(buffer.data(), mdl);
}

void ProbeAtDispatch() {
  sim::Machine machine;
  sim::UserBuffer buffer(machine.objects().userProcess(), 64);
  PMDL mdl = IoAllocateMdl(buffer.data(), 64, FALSE, FALSE, nullptr);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ProbeAndLock(mdl, UserMode, IoWriteAccess);
}

class MdlVerifier : public testing::TestWithParam<Misuse> {};

TEST_P(MdlVerifier, CatchesTheMisuseAndNamesTheRule) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(GetParam().body(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, MdlVerifier,
    testing::Values(Misuse{"FreeWhileLocked", FreeWhileLocked, "MDL_FREED_WITH_PAGES_LOCKED"},
                    Misuse{"UnlockTwice", UnlockTwice, "MDL_PAGES_NOT_LOCKED"},
                    Misuse{"LockTwice", LockTwice, "MDL_PAGES_ALREADY_LOCKED"},
                    Misuse{"MapUnlocked", MapUnlocked, "MDL_PAGES_NOT_LOCKED"},
                    Misuse{"MapTwice", MapTwice, "MDL_ALREADY_MAPPED"},
                    Misuse{"UnmapTheUserAddress", UnmapTheUserAddress, "MDL_UNMAP_OF_UNKNOWN_MAPPING"},
                    Misuse{"ProbeAtDispatch", ProbeAtDispatch, "IRQL_NOT_LESS_OR_EQUAL"}),
    [](const testing::TestParamInfo<Misuse>& info) { return std::string(info.param.name); });

}  // namespace
