// Pool accounting: every block carries its tag, size and the caller that
// allocated it. Tests read live blocks by tag, count allocations (the data
// path must make none) and inject allocation failures.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <source_location>
#include <string>
#include <unordered_map>
#include <vector>

#include <wdm.h>

namespace sim {

class Machine;

class Pool {
 public:
  explicit Pool(Machine& machine);
  ~Pool();

  struct TagUsage {
    size_t blocks = 0;
    size_t bytes = 0;
  };

  void* Allocate(POOL_FLAGS flags, size_t bytes, ULONG tag, bool zero,
                 const std::source_location& caller);
  void Free(void* block, ULONG tag, bool checkTag, const std::source_location& caller);

  // Physically contiguous memory below `highest` (our physical addresses are
  // the virtual ones).
  void* AllocateContiguous(size_t bytes, uint64_t highest, const std::source_location& caller);
  void FreeContiguous(void* block, const std::source_location& caller);

  // Fails the n-th allocation from now (1 = the next one).
  void FailNthAllocation(uint64_t n);
  // Fails each allocation with this probability, drawn from a seeded generator.
  void FailWithProbability(double probability, uint32_t seed);
  void StopFailing();

  uint64_t allocationCount() const;  // successful allocations since creation
  uint64_t failedCount() const;
  size_t liveBlocks() const;
  std::map<std::string, TagUsage> liveByTag() const;
  // Reports every live block as a leak through the verifier.
  void CheckNoLeaks() const;

  // The requested size of a live block, 0 when `block` is not one.
  size_t SizeOf(const void* block) const;

 private:
  struct BlockInfo {
    size_t size;
    ULONG tag;
    bool contiguous;
    std::source_location caller;
  };
  bool ShouldFailLocked();

  Machine& machine_;
  mutable std::mutex lock_;
  std::unordered_map<void*, BlockInfo> live_;
  uint64_t allocations_ = 0;
  uint64_t failed_ = 0;
  uint64_t failAt_ = 0;  // allocation ordinal that fails; 0 = none
  double failProbability_ = 0.0;
  std::mt19937 random_;
};

}  // namespace sim
