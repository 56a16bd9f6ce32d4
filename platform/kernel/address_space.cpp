// User address spaces: memfd-backed registrations, page locks and second
// (system) views of locked pages.

#include "platform/sim/address_space.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <new>
#include <vector>

namespace sim {

namespace {

constexpr uintptr_t kPage = PAGE_SIZE;
// MAP_32BIT places pages in the low 2 GB, where a 32-bit process's memory
// lives without large-address awareness.
constexpr uintptr_t k32BitLimit = uintptr_t{1} << 31;

std::mutex creationLock;

// Every registration holds a memfd until it is freed and unlocked, so a
// program with many small blocks needs more descriptors than the usual soft
// limit allows.
void RaiseDescriptorLimit() {
  static std::once_flag once;
  std::call_once(once, [] {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
    }
  });
}

uintptr_t PageDown(uintptr_t address) { return address & ~(kPage - 1); }

int ProtFor(Protection protection) {
  switch (protection) {
    case Protection::ReadOnly: return PROT_READ;
    case Protection::ReadWrite: return PROT_READ | PROT_WRITE;
    case Protection::NoAccess: break;
  }
  return PROT_NONE;
}

bool Allows(Protection protection, bool write) {
  return write ? protection == Protection::ReadWrite : protection != Protection::NoAccess;
}

}  // namespace

// The pages behind a registration; outlives it while a lock holds them.
struct UserAddressSpace::Backing {
  int fd = -1;
  ~Backing() {
    if (fd >= 0) close(fd);
  }
};

struct UserAddressSpace::Region {
  std::shared_ptr<Backing> backing;
  uintptr_t mapBase = 0;  // the user view of the pages
  size_t mapLength = 0;
  uintptr_t start = 0;  // the registered bytes
  size_t size = 0;
  Protection protection = Protection::ReadWrite;
  ~Region() {
    if (mapBase != 0) munmap(reinterpret_cast<void*>(mapBase), mapLength);
  }
};

struct UserAddressSpace::LockRecord {
  struct Page {
    std::shared_ptr<Backing> backing;
    off_t offset;
  };
  std::vector<Page> pages;  // one per page the MDL spans
  bool write = false;
  uintptr_t viewBase = 0;  // the system view, 0 when unmapped
  uintptr_t byteOffset = 0;

  void Unmap() {
    if (viewBase != 0) munmap(reinterpret_cast<void*>(viewBase), pages.size() * kPage);
    viewBase = 0;
  }
  ~LockRecord() { Unmap(); }
};

UserAddressSpace& UserAddressSpace::Of(Process& process) {
  std::lock_guard<std::mutex> guard(creationLock);
  if (process.addressSpace == nullptr) process.addressSpace = new UserAddressSpace(process);
  return *static_cast<UserAddressSpace*>(process.addressSpace);
}

UserAddressSpace& UserAddressSpace::Current() { return Of(*PsGetCurrentProcess()); }

void ReleaseAddressSpace(Process& process) {
  std::lock_guard<std::mutex> guard(creationLock);
  delete static_cast<UserAddressSpace*>(process.addressSpace);
  process.addressSpace = nullptr;
}

UserAddressSpace::UserAddressSpace(Process& process) : process_(process) { RaiseDescriptorLimit(); }

UserAddressSpace::~UserAddressSpace() = default;

void* UserAddressSpace::Allocate(size_t size, Protection protection, size_t offset) {
  if (offset >= kPage || size > (size_t{1} << 40)) return nullptr;
  size_t pages = std::max<size_t>(1, (offset + size + kPage - 1) / kPage);
  auto backing = std::make_shared<Backing>();
  backing->fd = memfd_create("tarvik-user", MFD_CLOEXEC);
  if (backing->fd < 0 || ftruncate(backing->fd, static_cast<off_t>(pages * kPage)) != 0) return nullptr;
  int flags = MAP_SHARED | (process_.is32Bit ? MAP_32BIT : 0);
  void* view = mmap(nullptr, pages * kPage, ProtFor(protection), flags, backing->fd, 0);
  if (view == MAP_FAILED) return nullptr;
  auto region = std::make_unique<Region>();
  region->backing = std::move(backing);
  region->mapBase = reinterpret_cast<uintptr_t>(view);
  region->mapLength = pages * kPage;
  if (process_.is32Bit && region->mapBase + region->mapLength > k32BitLimit) return nullptr;
  region->start = region->mapBase + offset;
  region->size = size;
  region->protection = protection;
  void* start = reinterpret_cast<void*>(region->start);
  std::lock_guard<std::mutex> guard(lock_);
  regions_[region->start] = std::move(region);
  return start;
}

bool UserAddressSpace::Free(void* start) {
  std::unique_ptr<Region> region;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = regions_.find(reinterpret_cast<uintptr_t>(start));
    if (it == regions_.end()) return false;
    region = std::move(it->second);
    regions_.erase(it);
  }
  return true;  // the user view goes with `region`
}

bool UserAddressSpace::Protect(void* start, Protection protection, Protection* old) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = regions_.find(reinterpret_cast<uintptr_t>(start));
  if (it == regions_.end()) return false;
  Region& region = *it->second;
  if (mprotect(reinterpret_cast<void*>(region.mapBase), region.mapLength, ProtFor(protection)) != 0) return false;
  if (old != nullptr) *old = region.protection;
  region.protection = protection;
  return true;
}

size_t UserAddressSpace::SizeOf(const void* start) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = regions_.find(reinterpret_cast<uintptr_t>(start));
  return it == regions_.end() ? 0 : it->second->size;
}

const UserAddressSpace::Region* UserAddressSpace::RegionAtLocked(uintptr_t address) const {
  auto it = regions_.upper_bound(address);
  if (it == regions_.begin()) return nullptr;
  const Region& region = *std::prev(it)->second;
  return address - region.start < region.size ? &region : nullptr;
}

namespace {
// Walks the registrations that cover [address, address + length), which may
// be several adjacent ones; false at the first byte none covers.
template <typename Lookup, typename Visit>
bool WalkRange(uintptr_t address, size_t length, Lookup lookup, Visit visit) {
  uintptr_t end = address + length;
  if (end < address) return false;
  for (uintptr_t at = address; at < end;) {
    auto* region = lookup(at);
    if (region == nullptr || !visit(*region)) return false;
    at = region->start + region->size;
  }
  return true;
}
}  // namespace

bool UserAddressSpace::IsRegistered(const void* address) const {
  std::lock_guard<std::mutex> guard(lock_);
  return RegionAtLocked(reinterpret_cast<uintptr_t>(address)) != nullptr;
}

bool UserAddressSpace::IsAccessible(const void* address, size_t length, bool write) const {
  std::lock_guard<std::mutex> guard(lock_);
  return WalkRange(
      reinterpret_cast<uintptr_t>(address), length, [this](uintptr_t at) { return RegionAtLocked(at); },
      [write](const Region& region) { return Allows(region.protection, write); });
}

bool UserAddressSpace::Lock(PMDL mdl, const void* address, size_t length, bool write) {
  uintptr_t first = reinterpret_cast<uintptr_t>(address);
  std::lock_guard<std::mutex> guard(lock_);
  auto lookup = [this](uintptr_t at) { return RegionAtLocked(at); };
  if (length == 0 || !WalkRange(first, length, lookup,
                                [write](const Region& region) { return Allows(region.protection, write); }))
    return false;
  auto record = std::make_unique<LockRecord>();
  record->write = write;
  record->byteOffset = first - PageDown(first);
  uintptr_t last = first + length - 1;
  for (uintptr_t page = PageDown(first); page <= PageDown(last); page += kPage) {
    // Regions never share a page, so the range's first byte on the page
    // names the one region behind it.
    const Region* region = RegionAtLocked(std::max(page, first));
    record->pages.push_back({region->backing, static_cast<off_t>(page - region->mapBase)});
  }
  locks_[mdl] = std::move(record);
  return true;
}

void UserAddressSpace::Unlock(PMDL mdl) {
  std::unique_ptr<LockRecord> record;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = locks_.find(mdl);
    if (it == locks_.end()) return;
    record = std::move(it->second);
    locks_.erase(it);
  }
}

bool UserAddressSpace::IsLocked(PMDL mdl) const {
  std::lock_guard<std::mutex> guard(lock_);
  return locks_.count(mdl) != 0;
}

void* UserAddressSpace::MapSystemView(PMDL mdl, bool writable) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = locks_.find(mdl);
  if (it == locks_.end()) return nullptr;
  LockRecord& record = *it->second;
  if (record.viewBase == 0) {
    if (failMappings_ > 0) {
      --failMappings_;
      return nullptr;
    }
    size_t length = record.pages.size() * kPage;
    void* reserved = mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) return nullptr;
    record.viewBase = reinterpret_cast<uintptr_t>(reserved);
    int prot = PROT_READ | (writable && record.write ? PROT_WRITE : 0);
    // One mapping per run of consecutive pages of one backing.
    for (size_t i = 0; i < record.pages.size();) {
      size_t run = 1;
      while (i + run < record.pages.size() && record.pages[i + run].backing == record.pages[i].backing &&
             record.pages[i + run].offset == record.pages[i].offset + static_cast<off_t>(run * kPage))
        ++run;
      void* at = reinterpret_cast<void*>(record.viewBase + i * kPage);
      if (mmap(at, run * kPage, prot, MAP_SHARED | MAP_FIXED, record.pages[i].backing->fd, record.pages[i].offset) ==
          MAP_FAILED) {
        record.Unmap();
        return nullptr;
      }
      i += run;
    }
  }
  return reinterpret_cast<void*>(record.viewBase + record.byteOffset);
}

bool UserAddressSpace::UnmapSystemView(PMDL mdl, const void* systemAddress) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = locks_.find(mdl);
  if (it == locks_.end()) return false;
  LockRecord& record = *it->second;
  if (record.viewBase == 0 || reinterpret_cast<uintptr_t>(systemAddress) != record.viewBase + record.byteOffset)
    return false;
  record.Unmap();
  return true;
}

void UserAddressSpace::FailNextSystemMappings(int count) {
  std::lock_guard<std::mutex> guard(lock_);
  failMappings_ = count;
}

size_t UserAddressSpace::regionCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return regions_.size();
}

size_t UserAddressSpace::lockCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return locks_.size();
}

size_t UserAddressSpace::systemViewCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<size_t>(
      std::count_if(locks_.begin(), locks_.end(), [](const auto& entry) { return entry.second->viewBase != 0; }));
}

UserBuffer::UserBuffer(Process& process, size_t size, Protection protection, size_t offset)
    : process_(process), data_(UserAddressSpace::Of(process).Allocate(size, protection, offset)), size_(size) {
  if (data_ == nullptr) throw std::bad_alloc();
}

UserBuffer::~UserBuffer() { UserAddressSpace::Of(process_).Free(data_); }

}  // namespace sim
