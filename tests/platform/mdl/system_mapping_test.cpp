// System mappings of locked user pages: a second address for the same
// pages, gone again with the unmap or the unlock, and alive for the lock
// holder even after the user frees the memory.

#include <cstring>

#include "tests/platform/mdl/mdl_fixture.h"

namespace {

using mdltest::MdlTest;
using mdltest::ProbeAndLock;

class SystemMapping : public MdlTest {
 protected:
  // Locks `buffer` for writing and maps it, as a driver sharing it would.
  PMDL LockAndMap(sim::UserBuffer& buffer, void** system) {
    PMDL mdl = IoAllocateMdl(buffer.data(), static_cast<ULONG>(buffer.size()), FALSE, FALSE, nullptr);
    EXPECT_NE(mdl, nullptr);
    EXPECT_EQ(ProbeAndLock(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
    *system = MmGetSystemAddressForMdlSafe(mdl, HighPagePriority | MdlMappingNoExecute);
    EXPECT_NE(*system, nullptr);
    return mdl;
  }
};

TEST_F(SystemMapping, IsADistinctAddressOfTheSamePages) {
  // Three pages and a bit, starting inside the first page, so the view
  // spans four pages and keeps the byte offset.
  sim::UserBuffer buffer(user(), 3 * PAGE_SIZE + 1000, sim::Protection::ReadWrite, 200);
  void* systemAddress = nullptr;
  PMDL mdl = LockAndMap(buffer, &systemAddress);
  auto* system = static_cast<uint8_t*>(systemAddress);

  EXPECT_NE(system, buffer.bytes());
  EXPECT_EQ(BYTE_OFFSET(system), BYTE_OFFSET(buffer.bytes()));
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(mdl->MappedSystemVa, system);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system) << "a second call maps nothing new";
  EXPECT_EQ(space().systemViewCount(), 1u);

  for (size_t at : {size_t{0}, size_t{PAGE_SIZE}, buffer.size() - 1}) {
    system[at] = 0x5A;
    EXPECT_EQ(buffer.bytes()[at], 0x5A) << "kernel write at " << at;
    buffer.bytes()[at] = 0xA5;
    EXPECT_EQ(system[at], 0xA5) << "user write at " << at;
  }

  MmUnmapLockedPages(system, mdl);
  EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(space().systemViewCount(), 0u);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  ExpectNothingHeld();
}

TEST_F(SystemMapping, UnlockingAlsoUnmaps) {
  sim::UserBuffer buffer(user(), 5000);
  void* system = nullptr;
  PMDL mdl = LockAndMap(buffer, &system);
  MmUnlockPages(mdl);
  EXPECT_FALSE(mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED));
  IoFreeMdl(mdl);
  ExpectNothingHeld();
}

TEST_F(SystemMapping, OutlivesTheUsersFreeUntilUnlocked) {
  auto buffer = std::make_unique<sim::UserBuffer>(user(), 2 * PAGE_SIZE);
  std::memset(buffer->data(), 0x11, buffer->size());
  void* systemAddress = nullptr;
  PMDL mdl = LockAndMap(*buffer, &systemAddress);
  auto* system = static_cast<uint8_t*>(systemAddress);
  void* user = buffer->data();
  buffer.reset();

  EXPECT_FALSE(space().IsAccessible(user, 1, false)) << "the user's range is gone";
  EXPECT_EQ(system[PAGE_SIZE + 7], 0x11) << "the locked pages are not";
  system[0] = 0x22;
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  ExpectNothingHeld();
}

TEST_F(SystemMapping, FailureLeavesTheMdlUnmapped) {
  sim::UserBuffer buffer(user(), 100);
  PMDL mdl = IoAllocateMdl(buffer.data(), 100, FALSE, FALSE, nullptr);
  ASSERT_EQ(ProbeAndLock(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
  space().FailNextSystemMappings(1);
  EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
  EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr) << "the next attempt maps";
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  ExpectNothingHeld();
}

TEST_F(SystemMapping, NonPagedPoolNeedsNoMapping) {
  auto* pool = static_cast<char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 3000, 'tseT'));
  PMDL mdl = IoAllocateMdl(pool, 3000, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), pool);
  IoFreeMdl(mdl);
  ExFreePoolWithTag(pool, 'tseT');
  ExpectNothingHeld();
}

TEST_F(SystemMapping, OfAReadLockIsReadOnly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        sim::UserBuffer buffer(user(), 64);
        PMDL mdl = IoAllocateMdl(buffer.data(), 64, FALSE, FALSE, nullptr);
        ProbeAndLock(mdl, UserMode, IoReadAccess);
        auto* system = static_cast<volatile char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        system[0] = 1;  // the device was to read this buffer, not fill it
      },
      "");
}

}  // namespace
