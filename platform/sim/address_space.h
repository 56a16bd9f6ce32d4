// The user address space of a simulated process: the ranges user mode has
// allocated (GlobalAlloc, VirtualAlloc, test buffers), each backed by its own
// memfd so locked pages can be mapped a second time at a distinct system
// address, as the memory manager does for MmMapLockedPagesSpecifyCache.
//
// Only memory registered here is user memory: a probe of any other range, a
// range that runs off the end of a registration, or a write probe of
// read-only memory raises, however valid the host address may be.
//
// Lock: one mutex per address space guards the regions and the locks; it is
// innermost and never held while driver code runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include <wdm.h>

#include "platform/sim/objects.h"

namespace sim {

namespace rule {
inline constexpr const char* kMdlFreedWhileLocked = "MDL_FREED_WITH_PAGES_LOCKED";
inline constexpr const char* kMdlNotLocked = "MDL_PAGES_NOT_LOCKED";
inline constexpr const char* kMdlAlreadyLocked = "MDL_PAGES_ALREADY_LOCKED";
inline constexpr const char* kMdlAlreadyMapped = "MDL_ALREADY_MAPPED";
inline constexpr const char* kMdlNotMapped = "MDL_UNMAP_OF_UNKNOWN_MAPPING";
}  // namespace rule

enum class Protection { NoAccess, ReadOnly, ReadWrite };

class UserAddressSpace {
 public:
  // The address space of `process`, created on first use.
  static UserAddressSpace& Of(Process& process);
  // The current process's address space.
  static UserAddressSpace& Current();

  explicit UserAddressSpace(Process& process);
  ~UserAddressSpace();
  UserAddressSpace(const UserAddressSpace&) = delete;
  UserAddressSpace& operator=(const UserAddressSpace&) = delete;

  Process& process() const { return process_; }

  // Registers `size` zeroed bytes at `offset` bytes into a fresh run of
  // pages (an offset stands for a heap block header, so buffers need not be
  // page aligned). In a 32-bit process the pages lie below 2 GB. Returns
  // null when the host cannot provide the pages.
  void* Allocate(size_t size, Protection protection, size_t offset = 0);
  // Releases the registration that starts exactly at `start`. Locked pages
  // stay valid for their lock holder until unlocked, as physical pages do.
  bool Free(void* start);
  bool Protect(void* start, Protection protection, Protection* old = nullptr);
  // Size of the registration that starts exactly at `start`, 0 if none.
  size_t SizeOf(const void* start) const;

  // Whether a registration covers `address`, whatever its protection.
  bool IsRegistered(const void* address) const;
  // Whether every byte of the range is registered with at least the access
  // asked for (reading; or writing when `write`).
  bool IsAccessible(const void* address, size_t length, bool write) const;

  // Pins the pages behind a user range for `mdl`; false when the range is
  // not accessible as asked.
  bool Lock(PMDL mdl, const void* address, size_t length, bool write);
  void Unlock(PMDL mdl);
  bool IsLocked(PMDL mdl) const;
  // Maps the pages locked for `mdl` a second time and returns the system
  // address of the MDL's first byte; null when mapping fails.
  void* MapSystemView(PMDL mdl, bool writable);
  bool UnmapSystemView(PMDL mdl, const void* systemAddress);

  // Makes the next `count` system mappings fail, as a system short of PTEs.
  void FailNextSystemMappings(int count);

  size_t regionCount() const;
  size_t lockCount() const;
  size_t systemViewCount() const;

 private:
  struct Backing;
  struct Region;
  struct LockRecord;

  const Region* RegionAtLocked(uintptr_t address) const;

  Process& process_;
  mutable std::mutex lock_;
  std::map<uintptr_t, std::unique_ptr<Region>> regions_;  // by registered start
  std::map<PMDL, std::unique_ptr<LockRecord>> locks_;
  int failMappings_ = 0;
};

// Frees a process's address space with the process (object manager).
void ReleaseAddressSpace(Process& process);

// A buffer registered in a process's user address space for the scope's
// lifetime; for tests that hand user memory to a driver.
class UserBuffer {
 public:
  UserBuffer(Process& process, size_t size, Protection protection = Protection::ReadWrite,
             size_t offset = 0);
  ~UserBuffer();
  UserBuffer(const UserBuffer&) = delete;
  UserBuffer& operator=(const UserBuffer&) = delete;

  void* data() const { return data_; }
  uint8_t* bytes() const { return static_cast<uint8_t*>(data_); }
  size_t size() const { return size_; }

 private:
  Process& process_;
  void* data_;
  size_t size_;
};

}  // namespace sim
