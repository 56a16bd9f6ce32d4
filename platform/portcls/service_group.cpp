#include "platform/portcls/service_group.h"

#include <algorithm>

namespace sim::portcls {

namespace {
constexpr ULONG kServiceGroupTag = PoolTag("PcSG");
}

NTSTATUS ServiceGroup::Create(PUNKNOWN outer, PSERVICEGROUP* out) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = nullptr;
  // Aggregating a service group buys a driver nothing; refuse it openly
  // rather than hand back an object whose count the outer would not see.
  if (outer) return STATUS_INVALID_PARAMETER;
  auto* group = new (kServiceGroupTag) ServiceGroup();
  if (!group) return STATUS_INSUFFICIENT_RESOURCES;
  *out = group;
  return STATUS_SUCCESS;
}

ServiceGroup::ServiceGroup() : PcObject("service group") {
  KeInitializeSpinLock(&lock_);
  KeInitializeDpc(&dpc_, ServiceDpc, this);
  KeInitializeTimerEx(&delayTimer_, NotificationTimer);
}

ServiceGroup::~ServiceGroup() {
  KeCancelTimer(&delayTimer_);
  KeRemoveQueueDpc(&dpc_);
  // A DPC already running on another processor must finish before the
  // memory goes; that wait is only possible below DISPATCH_LEVEL.
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) KeFlushQueuedDpcs();
  for (PSERVICESINK sink : members_) sink->Release();
}

void* ServiceGroup::Query(REFIID iid) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink) ||
      IsEqualGUID(iid, IID_IServiceGroup))
    return static_cast<IServiceGroup*>(this);
  return nullptr;
}

void ServiceGroup::ServiceDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* self = static_cast<ServiceGroup*>(context);
  KeAcquireSpinLockAtDpcLevel(&self->lock_);
  for (PSERVICESINK sink : self->members_) sink->RequestService();
  KeReleaseSpinLockFromDpcLevel(&self->lock_);
}

STDMETHODIMP_(void) ServiceGroup::RequestService() { KeInsertQueueDpc(&dpc_, nullptr, nullptr); }

STDMETHODIMP_(NTSTATUS) ServiceGroup::AddMember(PSERVICESINK sink) {
  if (!sink) return STATUS_INVALID_PARAMETER;
  sink->AddRef();
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  members_.push_back(sink);
  KeReleaseSpinLock(&lock_, irql);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) ServiceGroup::RemoveMember(PSERVICESINK sink) {
  bool found = false;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  auto it = std::find(members_.begin(), members_.end(), sink);
  if (it != members_.end()) {
    members_.erase(it);
    found = true;
  }
  KeReleaseSpinLock(&lock_, irql);
  if (found) sink->Release();
}

STDMETHODIMP_(void) ServiceGroup::SupportDelayedService() { delayedSupported_ = true; }

STDMETHODIMP_(void) ServiceGroup::RequestDelayedService(ULONGLONG delay) {
  if (!delayedSupported_) return;
  LARGE_INTEGER due;
  due.QuadPart = static_cast<LONGLONG>(delay);
  KeSetTimer(&delayTimer_, due, &dpc_);
}

STDMETHODIMP_(void) ServiceGroup::CancelDelayedService() { KeCancelTimer(&delayTimer_); }

}  // namespace sim::portcls

NTSTATUS NTAPI PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown) {
  return sim::portcls::ServiceGroup::Create(OuterUnknown, OutServiceGroup);
}
