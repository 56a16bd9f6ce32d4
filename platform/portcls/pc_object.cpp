#include "platform/portcls/pc_object.h"

#include "platform/portcls/object_tracker.h"
#include "platform/sim/machine.h"

namespace sim::portcls {

void* PcObject::operator new(size_t size, ULONG tag) noexcept {
  return ExAllocatePool2(POOL_FLAG_NON_PAGED, size, tag);
}

void PcObject::operator delete(void* block) { ExFreePool(block); }
void PcObject::operator delete(void* block, ULONG) { ExFreePool(block); }

PcObject::PcObject(const char* kind) : kind_(kind), machine_(&Machine::CurrentChecked()) {
  machine_->service<ObjectTracker>().Add(this);
}

PcObject::~PcObject() { machine_->service<ObjectTracker>().Remove(this); }

ULONG PcObject::AddRefObject() { return static_cast<ULONG>(references_.fetch_add(1) + 1); }

bool PcObject::TryAddRefObject() {
  LONG current = references_.load();
  while (current > 0)
    if (references_.compare_exchange_weak(current, current + 1)) return true;
  return false;
}

ULONG PcObject::ReleaseObject() {
  LONG remaining = references_.fetch_sub(1) - 1;
  if (remaining == 0) {
    // Held at 1 while the destructor runs, so a query/release pair inside it
    // cannot delete the object a second time.
    references_.store(1);
    delete this;
  }
  return static_cast<ULONG>(remaining);
}

}  // namespace sim::portcls
