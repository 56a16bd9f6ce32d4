// Pool: tags, zeroing, fault injection and the live-block report.

#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "platform/sim/pool.h"

namespace {

constexpr ULONG kTagA = 'AtsT';  // "TstA" in memory
constexpr ULONG kTagB = 'BtsT';

TEST(Pool, BlocksAreZeroedAndReportedByTag) {
  sim::Machine machine;
  auto* a = static_cast<unsigned char*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 100, kTagA));
  void* b1 = ExAllocatePool2(POOL_FLAG_NON_PAGED, 10, kTagB);
  void* b2 = ExAllocatePool2(POOL_FLAG_NON_PAGED, 20, kTagB);
  ASSERT_NE(a, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(a[i], 0);

  auto usage = machine.pool().liveByTag();
  EXPECT_EQ(usage["TstA"].blocks, 1u);
  EXPECT_EQ(usage["TstA"].bytes, 100u);
  EXPECT_EQ(usage["TstB"].blocks, 2u);
  EXPECT_EQ(usage["TstB"].bytes, 30u);

  ExFreePoolWithTag(a, kTagA);
  ExFreePoolWithTag(b1, kTagB);
  ExFreePool(b2);
  EXPECT_EQ(machine.pool().liveBlocks(), 0u);
}

TEST(Pool, TheNthAllocationFailsAndOnlyThatOne) {
  sim::Machine machine;
  machine.pool().FailNthAllocation(3);
  void* blocks[5];
  for (auto& block : blocks) block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTagA);
  EXPECT_NE(blocks[0], nullptr);
  EXPECT_NE(blocks[1], nullptr);
  EXPECT_EQ(blocks[2], nullptr);
  EXPECT_NE(blocks[3], nullptr);
  EXPECT_NE(blocks[4], nullptr);
  EXPECT_EQ(machine.pool().failedCount(), 1u);
  for (void* block : blocks)
    if (block) ExFreePoolWithTag(block, kTagA);
}

std::vector<bool> FailurePattern(uint32_t seed) {
  sim::Machine machine;
  machine.pool().FailWithProbability(0.3, seed);
  std::vector<bool> failed;
  for (int i = 0; i < 64; ++i) {
    void* block = ExAllocatePool2(POOL_FLAG_NON_PAGED, 8, kTagA);
    failed.push_back(block == nullptr);
    if (block) ExFreePoolWithTag(block, kTagA);
  }
  return failed;
}

TEST(Pool, ProbabilisticFailuresRepeatForTheSameSeed) {
  auto first = FailurePattern(7);
  EXPECT_EQ(first, FailurePattern(7));
  EXPECT_NE(first, FailurePattern(8));
  EXPECT_GT(std::count(first.begin(), first.end(), true), 5);
  EXPECT_LT(std::count(first.begin(), first.end(), true), 40);
}

TEST(Pool, ContiguousMemoryHonoursTheHighestAcceptableAddress) {
  sim::Machine machine;
  PHYSICAL_ADDRESS low, high, none;
  low.QuadPart = 0;
  none.QuadPart = 0;
  high.QuadPart = 0xFFFFFFFF;  // below 4 GB
  void* block = MmAllocateContiguousMemorySpecifyCache(81'920, low, high, none, MmCached);
  ASSERT_NE(block, nullptr);
  EXPECT_LE(static_cast<uint64_t>(MmGetPhysicalAddress(block).QuadPart) + 81'920 - 1, 0xFFFFFFFFull);
  MmFreeContiguousMemory(block);
  high.QuadPart = 0xFFFF;  // no memory is that low
  EXPECT_EQ(MmAllocateContiguousMemorySpecifyCache(4096, low, high, none, MmCached), nullptr);
}

}  // namespace
