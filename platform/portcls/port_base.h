// What the WaveCyclic and MIDI ports share: the miniport and its filter
// descriptor, registration under names in the subdevice directory,
// unregistration, and the filter-side services a KS client uses (pins,
// intersection, filter properties, instance counts).
//
// Children (the miniport and anything it holds of the port) are released
// once: at unregistration or removal of the port's device when no filter is
// open, else when the last open filter closes, or when the port itself goes.
// That breaks the port <-> miniport reference cycle. Filter-side calls come
// at PASSIVE_LEVEL.
#pragma once

#include <mutex>
#include <vector>

#include <portcls.h>

#include "platform/portcls/pc_object.h"

// Answers the port object itself (not an interface); internal to the framework.
DEFINE_GUID(IID_IPortClassSubdevice, 0x7A3E51C2, 0x4D19, 0x4B6E, 0x9C, 0x02, 0x5F, 0x81, 0xE3, 0x6A,
            0x47, 0xD0);

namespace sim::portcls {

enum class PortKind { WaveCyclic, Midi };

class PortBase : public IUnregisterSubdevice, public PcObject {
 public:
  // The port behind a framework interface pointer, with a reference; null
  // for anything else.
  static PortBase* FromUnknown(PUNKNOWN unknown);

  PortKind portKind() const { return portKind_; }
  PUNKNOWN unknown() { return static_cast<IUnregisterSubdevice*>(this); }
  bool initialized() const { return miniport_ != nullptr; }

  STDMETHODIMP_(NTSTATUS) UnregisterSubdevice(PDEVICE_OBJECT DeviceObject,
                                              PUNKNOWN Unknown) override;

  // Called by the directory as it adds or drops a name for this port.
  void OnRegistered();
  void OnUnregistered();
  // The port's device was removed: no new filters, and the children go now
  // or when the last open filter closes.
  void Retire();
  // Lets go of the miniport; runs once (see above).
  void ReleaseChildrenOnce();
  bool TryAddRef() { return TryAddRefObject(); }

  // Filter side. OpenFilter fails once the port has been unregistered.
  NTSTATUS OpenFilter();
  void CloseFilter();
  const PCFILTER_DESCRIPTOR* descriptor() const { return descriptor_; }
  const PCPIN_DESCRIPTOR* Pin(ULONG pinId) const;
  const PCNODE_DESCRIPTOR* Node(ULONG nodeId) const;
  PMINIPORT miniport() const { return miniport_; }

  NTSTATUS DataRangeIntersection(ULONG pinId, const KSDATARANGE* clientRange, ULONG outputLength,
                                 PVOID result, PULONG resultLength);
  NTSTATUS FilterProperty(const KSPROPERTY* property, PVOID instance, ULONG instanceSize,
                          PVOID value, PULONG valueSize);
  // Checks a connection format against the pin (streaming pin, size, one of
  // its ranges) and takes an instance; ReleasePinInstance gives it back.
  NTSTATUS AcquirePinInstance(ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize,
                              bool* capture);
  void ReleasePinInstance(ULONG pinId);

 protected:
  PortBase(const char* kind, PortKind portKind);
  ~PortBase() override;

  // Takes the miniport (one reference) and reads its description.
  NTSTATUS AttachMiniport(PMINIPORT miniport);
  // Drops the miniport and whatever else keeps it alive; runs once.
  virtual void ReleaseChildren();
  void* QueryBase(REFIID iid);

 private:
  const PortKind portKind_;
  PMINIPORT miniport_ = nullptr;
  const PCFILTER_DESCRIPTOR* descriptor_ = nullptr;

  std::mutex lock_;  // guards everything below
  int registrations_ = 0;
  bool unregistered_ = false;
  int openFilters_ = 0;
  bool childrenReleased_ = false;
  std::vector<ULONG> pinInstances_;
};

bool DataRangeMatches(const KSDATARANGE& a, const KSDATARANGE& b);

}  // namespace sim::portcls
