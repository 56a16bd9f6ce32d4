// Pool accounting. Blocks come from the C heap; the tracker keeps their tag,
// size and allocating caller so leaks and bad frees can be named.

#include "platform/sim/pool.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "platform/sim/verifier.h"

namespace sim {

Pool::Pool(Machine& machine) : machine_(machine) {}

Pool::~Pool() {
  for (auto& [block, info] : live_) {
    if (info.contiguous)
      munmap(block, info.size);
    else
      std::free(block);
  }
}

bool Pool::ShouldFailLocked() {
  uint64_t ordinal = allocations_ + failed_ + 1;
  if (failAt_ != 0 && ordinal == failAt_) {
    failAt_ = 0;
    return true;
  }
  if (failProbability_ > 0.0) {
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    return draw(random_) < failProbability_;
  }
  return false;
}

void* Pool::Allocate(POOL_FLAGS, size_t bytes, ULONG tag, bool zero, const std::source_location& caller) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ShouldFailLocked()) {
    ++failed_;
    return nullptr;
  }
  size_t rounded = (std::max<size_t>(bytes, 1) + 15) & ~size_t{15};
  void* block = std::aligned_alloc(16, rounded);
  if (block == nullptr) {
    ++failed_;
    return nullptr;
  }
  // Uninitialised pool gets a recognisable pattern, so reads of it show.
  std::memset(block, zero ? 0 : 0xAB, rounded);
  live_[block] = BlockInfo{bytes, tag, false, caller};
  ++allocations_;
  return block;
}

void Pool::Free(void* block, ULONG tag, bool checkTag, const std::source_location& caller) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = live_.find(block);
  if (it == live_.end() || it->second.contiguous) {
    char detail[96];
    snprintf(detail, sizeof detail, "free of %p, which is not a live pool block", block);
    VerifierFail(rule::kPoolDoubleFree, detail, caller);
  }
  if (checkTag && it->second.tag != tag)
    VerifierFail(rule::kPoolWrongTag,
                 "block tagged '" + FormatTag(it->second.tag) + "' freed with tag '" + FormatTag(tag) + "'", caller);
  std::free(block);
  live_.erase(it);
}

void* Pool::AllocateContiguous(size_t bytes, uint64_t highest, const std::source_location& caller) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ShouldFailLocked() || bytes == 0) {
    ++failed_;
    return nullptr;
  }
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  // MAP_32BIT places the mapping in the low 2 GB, which satisfies any limit
  // at or above 4 GB with room to spare.
  if (highest < (uint64_t{1} << 40)) flags |= MAP_32BIT;
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (block == MAP_FAILED || reinterpret_cast<uint64_t>(block) + bytes - 1 > highest) {
    if (block != MAP_FAILED) munmap(block, bytes);
    ++failed_;
    return nullptr;
  }
  live_[block] = BlockInfo{bytes, 0x746E6F43 /* "Cont" */, true, caller};
  ++allocations_;
  return block;
}

void Pool::FreeContiguous(void* block, const std::source_location& caller) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = live_.find(block);
  if (it == live_.end() || !it->second.contiguous) {
    char detail[96];
    snprintf(detail, sizeof detail, "free of %p, which is not live contiguous memory", block);
    VerifierFail(rule::kPoolDoubleFree, detail, caller);
  }
  munmap(block, it->second.size);
  live_.erase(it);
}

void Pool::FailNthAllocation(uint64_t n) {
  std::lock_guard<std::mutex> guard(lock_);
  failAt_ = n == 0 ? 0 : allocations_ + failed_ + n;
}

void Pool::FailWithProbability(double probability, uint32_t seed) {
  std::lock_guard<std::mutex> guard(lock_);
  failProbability_ = probability;
  random_.seed(seed);
}

void Pool::StopFailing() {
  std::lock_guard<std::mutex> guard(lock_);
  failAt_ = 0;
  failProbability_ = 0.0;
}

uint64_t Pool::allocationCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return allocations_;
}

uint64_t Pool::failedCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return failed_;
}

size_t Pool::liveBlocks() const {
  std::lock_guard<std::mutex> guard(lock_);
  return live_.size();
}

std::map<std::string, Pool::TagUsage> Pool::liveByTag() const {
  std::lock_guard<std::mutex> guard(lock_);
  std::map<std::string, TagUsage> usage;
  for (const auto& [block, info] : live_) {
    auto& entry = usage[FormatTag(info.tag)];
    ++entry.blocks;
    entry.bytes += info.size;
  }
  return usage;
}

void Pool::CheckNoLeaks() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (live_.empty()) return;
  std::map<std::string, TagUsage> usage;
  const BlockInfo* example = nullptr;
  for (const auto& [block, info] : live_) {
    auto& entry = usage[FormatTag(info.tag)];
    ++entry.blocks;
    entry.bytes += info.size;
    example = &info;
  }
  std::string detail = "pool blocks left behind:";
  for (const auto& [tag, entry] : usage)
    detail += " '" + tag + "' " + std::to_string(entry.blocks) + " blocks (" + std::to_string(entry.bytes) + " bytes)";
  detail += "; one was allocated at " + std::string(example->caller.file_name()) + ":" +
            std::to_string(example->caller.line());
  VerifierFail(rule::kPoolLeak, detail);
}

size_t Pool::SizeOf(const void* block) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = live_.find(const_cast<void*>(block));
  return it == live_.end() ? 0 : it->second.size;
}

}  // namespace sim
