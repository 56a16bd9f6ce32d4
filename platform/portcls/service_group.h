// IServiceGroup: a set of service sinks run together from one DPC.
//
// RequestService queues the DPC (requests made while it is queued coalesce);
// the DPC calls every member's RequestService at DISPATCH_LEVEL while holding
// the member lock. The group holds a reference on each member until it is
// removed. Lock order: the member lock is taken before any lock a member
// takes in its RequestService; a member must not add or remove members of
// its own group from there.
#pragma once

#include <vector>

#include <portcls.h>

#include "platform/portcls/pc_object.h"

namespace sim::portcls {

class ServiceGroup final : public IServiceGroup, public PcObject {
 public:
  static NTSTATUS Create(PUNKNOWN outer, PSERVICEGROUP* out);

  PC_OBJECT_UNKNOWN()

  STDMETHODIMP_(void) RequestService() override;
  STDMETHODIMP_(NTSTATUS) AddMember(PSERVICESINK sink) override;
  STDMETHODIMP_(void) RemoveMember(PSERVICESINK sink) override;
  STDMETHODIMP_(void) SupportDelayedService() override;
  STDMETHODIMP_(void) RequestDelayedService(ULONGLONG delay) override;
  STDMETHODIMP_(void) CancelDelayedService() override;

 private:
  ServiceGroup();
  ~ServiceGroup() override;
  void* Query(REFIID iid);
  static KDEFERRED_ROUTINE ServiceDpc;

  KSPIN_LOCK lock_;
  std::vector<PSERVICESINK> members_;  // guarded by lock_
  KDPC dpc_;
  KTIMER delayTimer_;
  bool delayedSupported_ = false;
};

}  // namespace sim::portcls
