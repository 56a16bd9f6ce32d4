// Bookkeeping of the blocks GlobalAlloc and VirtualAlloc handed out.

#include "platform/sim/user_heap.h"

namespace sim {

void UserHeap::FailNthAllocation(uint64_t n) {
  std::lock_guard<std::mutex> guard(lock_);
  failAt_ = n == 0 ? 0 : requests_ + n;
}

bool UserHeap::ShouldFail() {
  std::lock_guard<std::mutex> guard(lock_);
  return ++requests_ == failAt_;
}

void* UserHeap::Insert(Process& process, Kind kind, void* data, size_t size) {
  std::lock_guard<std::mutex> guard(lock_);
  uintptr_t key = reinterpret_cast<uintptr_t>(data);
  if (kind == Kind::Movable) {
    // Never 16-byte aligned, so no handle equals a block's address.
    nextHandle_ += 0x10;
    key = nextHandle_ | 4;
  }
  blocks_[{&process, key}] = Block{kind, data, size, 0};
  return reinterpret_cast<void*>(key);
}

bool UserHeap::Find(Process& process, const void* key, Block* block) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = blocks_.find({&process, reinterpret_cast<uintptr_t>(key)});
  if (it == blocks_.end()) return false;
  *block = it->second;
  return true;
}

bool UserHeap::Remove(Process& process, const void* key, Block* block) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = blocks_.find({&process, reinterpret_cast<uintptr_t>(key)});
  if (it == blocks_.end()) return false;
  *block = it->second;
  blocks_.erase(it);
  return true;
}

size_t UserHeap::liveBlocks(Process& process) const {
  std::lock_guard<std::mutex> guard(lock_);
  size_t count = 0;
  for (const auto& [key, block] : blocks_) count += key.first == &process;
  return count;
}

}  // namespace sim
