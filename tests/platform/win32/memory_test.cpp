// Global and virtual memory: flags, lock counts and sizes, and that every
// block is user memory a driver can lock, and nothing past it is.

#include <algorithm>

#include "platform/sim/address_space.h"
#include "platform/sim/user_heap.h"
#include "tests/platform/win32/win32_fixture.h"

namespace {

using win32test::Win32Test;

sim::UserAddressSpace& Space() { return sim::UserAddressSpace::Current(); }

struct GlobalCase {
  const char* name;
  UINT flags;
  bool zeroed;
  bool movable;
};

class GlobalFlags : public Win32Test, public testing::WithParamInterface<GlobalCase> {};

TEST_P(GlobalFlags, GiveUserMemoryOfTheSizeAsked) {
  const GlobalCase& c = GetParam();
  constexpr SIZE_T kSize = 5000;
  HGLOBAL handle = GlobalAlloc(c.flags, kSize);
  ASSERT_NE(handle, nullptr);
  auto* data = static_cast<unsigned char*>(GlobalLock(handle));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data == handle, !c.movable);
  EXPECT_EQ(GlobalSize(handle), kSize);
  EXPECT_EQ(std::all_of(data, data + kSize, [](unsigned char b) { return b == 0; }), c.zeroed);
  EXPECT_TRUE(Space().IsAccessible(data, kSize, true));
  EXPECT_FALSE(Space().IsAccessible(data, kSize + 1, false)) << "the byte after the block is not the process's";
  EXPECT_FALSE(Space().IsAccessible(data - 1, 1, false)) << "nor the heap header before it";

  GlobalUnlock(handle);
  EXPECT_EQ(GlobalFree(handle), nullptr);
  EXPECT_FALSE(Space().IsAccessible(data, 1, false));
  SetLastError(0);
  EXPECT_EQ(GlobalSize(handle), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

INSTANTIATE_TEST_SUITE_P(Flags, GlobalFlags,
                         testing::Values(GlobalCase{"Fixed", GMEM_FIXED, false, false},
                                         GlobalCase{"FixedZeroed", GPTR, true, false},
                                         GlobalCase{"Movable", GMEM_MOVEABLE, false, true},
                                         GlobalCase{"MovableZeroed", GHND, true, true}),
                         [](const testing::TestParamInfo<GlobalCase>& info) { return std::string(info.param.name); });

TEST_F(Win32Test, MovableBlocksCountTheirLocks) {
  HGLOBAL handle = GlobalAlloc(GMEM_MOVEABLE, 64);
  void* first = GlobalLock(handle);
  EXPECT_EQ(GlobalLock(handle), first);
  EXPECT_TRUE(GlobalUnlock(handle)) << "still locked once";
  SetLastError(ERROR_INVALID_DATA);
  EXPECT_FALSE(GlobalUnlock(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(NO_ERROR)) << "unlocked now";
  EXPECT_FALSE(GlobalUnlock(handle));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_LOCKED));
  GlobalFree(handle);
}

TEST_F(Win32Test, GlobalCallsRefuseWhatTheyDidNotHandOut) {
  void* virtualBlock = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  int local = 0;
  for (HGLOBAL stranger : {static_cast<HGLOBAL>(nullptr), static_cast<HGLOBAL>(&local), virtualBlock}) {
    EXPECT_EQ(GlobalLock(stranger), nullptr);
    EXPECT_EQ(GlobalFree(stranger), stranger);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  }
  EXPECT_EQ(GlobalAlloc(0x8000, 16), nullptr) << "an unknown flag";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  VirtualFree(virtualBlock, 0, MEM_RELEASE);
}

TEST_F(Win32Test, AllocationFailuresCanBeInjected) {
  sim::UserHeap::Of(machine).FailNthAllocation(2);
  HGLOBAL first = GlobalAlloc(GHND, 16);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(VirtualAlloc(nullptr, 16, MEM_COMMIT, PAGE_READWRITE), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  HGLOBAL third = GlobalAlloc(GHND, 16);
  EXPECT_NE(third, nullptr);
  GlobalFree(first);
  GlobalFree(third);
  EXPECT_EQ(sim::UserHeap::Of(machine).liveBlocks(machine.objects().userProcess()), 0u);
}

TEST_F(Win32Test, VirtualBlocksAreWholePagesWithTheirProtection) {
  auto* data = static_cast<unsigned char*>(VirtualAlloc(nullptr, 5000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(data) % PAGE_SIZE, 0u);
  EXPECT_TRUE(Space().IsAccessible(data, 2 * PAGE_SIZE, true));
  EXPECT_FALSE(Space().IsAccessible(data, 2 * PAGE_SIZE + 1, false));
  EXPECT_TRUE(std::all_of(data, data + 2 * PAGE_SIZE, [](unsigned char b) { return b == 0; }));

  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(data, 5000, PAGE_READONLY, &old));
  EXPECT_EQ(old, static_cast<DWORD>(PAGE_READWRITE));
  EXPECT_FALSE(Space().IsAccessible(data, 1, true));
  EXPECT_TRUE(Space().IsAccessible(data, 1, false));

  EXPECT_FALSE(VirtualFree(data, 5000, MEM_RELEASE)) << "a release names no size";
  EXPECT_TRUE(VirtualFree(data, 0, MEM_RELEASE));
  EXPECT_FALSE(Space().IsAccessible(data, 1, false));
  EXPECT_FALSE(VirtualFree(data, 0, MEM_RELEASE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
}

TEST_F(Win32Test, ADriverLocksAndMapsAGlobalBlock) {
  // The road of a shared block: user memory from GlobalAlloc, locked and
  // mapped by a driver, written by both sides.
  HGLOBAL handle = GlobalAlloc(GHND, 104 + 4 * 4096);
  auto* user = static_cast<ULONG*>(GlobalLock(handle));
  PMDL mdl = IoAllocateMdl(user, static_cast<ULONG>(GlobalSize(handle)), FALSE, FALSE, nullptr);
  NTSTATUS status = STATUS_SUCCESS;
  __try {
    MmProbeAndLockPages(mdl, UserMode, IoWriteAccess);
  } __except (EXCEPTION_EXECUTE_HANDLER) {
    status = GetExceptionCode();
  }
  ASSERT_EQ(status, STATUS_SUCCESS);
  auto* system = static_cast<ULONG*>(MmGetSystemAddressForMdlSafe(mdl, HighPagePriority | MdlMappingNoExecute));
  ASSERT_NE(system, nullptr);
  EXPECT_NE(system, user);
  user[0] = 104;
  system[4] = 17;
  EXPECT_EQ(system[0], 104u);
  EXPECT_EQ(user[4], 17u);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  GlobalUnlock(handle);
  GlobalFree(handle);
}

struct LowBlocks {
  uintptr_t global = 0;
  uintptr_t virtualBlock = 0;
};

VOID NTAPI AllocateInThisProcess(PVOID raw) {
  auto* blocks = static_cast<LowBlocks*>(raw);
  HGLOBAL handle = GlobalAlloc(GHND, 1 << 20);
  blocks->global = reinterpret_cast<uintptr_t>(GlobalLock(handle));
  void* block = VirtualAlloc(nullptr, 1 << 20, MEM_COMMIT, PAGE_READWRITE);
  blocks->virtualBlock = reinterpret_cast<uintptr_t>(block);
  GlobalFree(handle);
  VirtualFree(block, 0, MEM_RELEASE);
}

TEST_F(Win32Test, A32BitProcessGetsAddressesThatFitIn32Bits) {
  LowBlocks blocks;
  RunInProcess(*machine.objects().CreateProcess(true), AllocateInThisProcess, &blocks);
  EXPECT_NE(blocks.global, 0u);
  EXPECT_NE(blocks.virtualBlock, 0u);
  EXPECT_LT(blocks.global + (1 << 20), uintptr_t{1} << 32);
  EXPECT_LT(blocks.virtualBlock + (1 << 20), uintptr_t{1} << 32);
}

}  // namespace
