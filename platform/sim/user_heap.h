// Bookkeeping behind GlobalAlloc and VirtualAlloc: which blocks of each
// process's address space they handed out, the lock counts of movable
// blocks, and failure injection for tests of allocation-failure paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace sim {

class UserHeap : public Service {
 public:
  explicit UserHeap(Machine& machine) : machine_(machine) {}
  static UserHeap& Of(Machine& machine) { return machine.service<UserHeap>(); }

  enum class Kind { Fixed, Movable, Virtual };
  struct Block {
    Kind kind = Kind::Fixed;
    void* data = nullptr;
    size_t size = 0;
    int locks = 0;
  };

  // Fails the n-th GlobalAlloc or VirtualAlloc from now (1 = the next).
  void FailNthAllocation(uint64_t n);
  // Counts a request and reports whether it is the one to fail.
  bool ShouldFail();

  // Blocks are keyed by the value the caller holds: a movable block's
  // handle, or the address of a fixed or virtual one.
  void* Insert(Process& process, Kind kind, void* data, size_t size);
  bool Find(Process& process, const void* key, Block* block) const;
  // Applies `change` to the block and reports whether it exists.
  template <typename Change>
  bool Update(Process& process, const void* key, Change change) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = blocks_.find({&process, reinterpret_cast<uintptr_t>(key)});
    if (it == blocks_.end()) return false;
    change(it->second);
    return true;
  }
  bool Remove(Process& process, const void* key, Block* block);
  size_t liveBlocks(Process& process) const;

 private:
  Machine& machine_;
  mutable std::mutex lock_;
  std::map<std::pair<Process*, uintptr_t>, Block> blocks_;
  uintptr_t nextHandle_ = 0x10000;
  uint64_t requests_ = 0;
  uint64_t failAt_ = 0;
};

}  // namespace sim
