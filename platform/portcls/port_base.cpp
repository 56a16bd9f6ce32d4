#include "platform/portcls/port_base.h"

#include <algorithm>
#include <cstring>

#include "platform/portcls/adapter_registry.h"
#include "platform/portcls/intersection.h"
#include "platform/portcls/subdevice_directory.h"
#include "platform/sim/machine.h"

namespace sim::portcls {

PortBase* PortBase::FromUnknown(PUNKNOWN unknown) {
  if (!unknown) return nullptr;
  PVOID port = nullptr;
  if (!NT_SUCCESS(unknown->QueryInterface(IID_IPortClassSubdevice, &port))) return nullptr;
  return static_cast<PortBase*>(port);
}

PortBase::PortBase(const char* kind, PortKind portKind) : PcObject(kind), portKind_(portKind) {}

PortBase::~PortBase() {
  if (auto* adapters = Machine::CurrentChecked().findService<AdapterRegistry>())
    adapters->UntrackPort(this);
}

void* PortBase::QueryBase(REFIID iid) {
  if (IsEqualGUID(iid, IID_IUnregisterSubdevice)) return static_cast<IUnregisterSubdevice*>(this);
  if (IsEqualGUID(iid, IID_IPortClassSubdevice)) return this;
  return nullptr;
}

NTSTATUS PortBase::AttachMiniport(PMINIPORT miniport) {
  PPCFILTER_DESCRIPTOR description = nullptr;
  NTSTATUS status = miniport->GetDescription(&description);
  if (!NT_SUCCESS(status)) return status;
  if (!description || (description->PinCount && !description->Pins) ||
      (description->PinCount && description->PinSize < sizeof(PCPIN_DESCRIPTOR)) ||
      (description->NodeCount && (!description->Nodes ||
                                  description->NodeSize < sizeof(PCNODE_DESCRIPTOR))) ||
      (description->ConnectionCount && !description->Connections))
    return STATUS_INVALID_PARAMETER;
  miniport->AddRef();
  miniport_ = miniport;
  descriptor_ = description;
  std::lock_guard<std::mutex> guard(lock_);
  pinInstances_.assign(description->PinCount, 0);
  return STATUS_SUCCESS;
}

void PortBase::ReleaseChildren() {
  PMINIPORT miniport = miniport_;
  miniport_ = nullptr;
  descriptor_ = nullptr;  // lives in the miniport
  if (miniport) miniport->Release();
}

void PortBase::ReleaseChildrenOnce() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (childrenReleased_) return;
    childrenReleased_ = true;
  }
  ReleaseChildren();
}

const PCPIN_DESCRIPTOR* PortBase::Pin(ULONG pinId) const {
  if (!descriptor_ || pinId >= descriptor_->PinCount) return nullptr;
  auto* base = reinterpret_cast<const BYTE*>(descriptor_->Pins);
  return reinterpret_cast<const PCPIN_DESCRIPTOR*>(base + size_t(pinId) * descriptor_->PinSize);
}

const PCNODE_DESCRIPTOR* PortBase::Node(ULONG nodeId) const {
  if (!descriptor_ || nodeId >= descriptor_->NodeCount) return nullptr;
  auto* base = reinterpret_cast<const BYTE*>(descriptor_->Nodes);
  return reinterpret_cast<const PCNODE_DESCRIPTOR*>(base + size_t(nodeId) * descriptor_->NodeSize);
}

STDMETHODIMP_(NTSTATUS) PortBase::UnregisterSubdevice(PDEVICE_OBJECT DeviceObject,
                                                      PUNKNOWN Unknown) {
  PortBase* port = FromUnknown(Unknown);
  if (!port) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = Machine::CurrentChecked().service<SubdeviceDirectory>().Remove(DeviceObject,
                                                                                 port);
  port->unknown()->Release();
  return status;
}

void PortBase::OnRegistered() {
  std::lock_guard<std::mutex> guard(lock_);
  ++registrations_;
}

void PortBase::OnUnregistered() {
  bool release = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (--registrations_ > 0) return;
    unregistered_ = true;
    release = openFilters_ == 0;
  }
  if (release) ReleaseChildrenOnce();
}

void PortBase::Retire() {
  bool release = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    unregistered_ = true;
    release = openFilters_ == 0;
  }
  if (release) ReleaseChildrenOnce();
}

NTSTATUS PortBase::OpenFilter() {
  std::lock_guard<std::mutex> guard(lock_);
  if (unregistered_ || childrenReleased_ || !miniport_) return STATUS_DEVICE_REMOVED;
  ++openFilters_;
  return STATUS_SUCCESS;
}

void PortBase::CloseFilter() {
  bool release = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    release = --openFilters_ == 0 && unregistered_;
  }
  if (release) ReleaseChildrenOnce();
}

NTSTATUS PortBase::DataRangeIntersection(ULONG pinId, const KSDATARANGE* clientRange,
                                         ULONG outputLength, PVOID result,
                                         PULONG resultLength) {
  const PCPIN_DESCRIPTOR* pin = Pin(pinId);
  if (!pin || !clientRange || !resultLength) return STATUS_INVALID_PARAMETER;
  *resultLength = 0;
  if (clientRange->FormatSize < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
    const KSDATARANGE* pinRange = ks.DataRanges[i];
    if (!pinRange || !DataRangeMatches(*clientRange, *pinRange)) continue;
    NTSTATUS status = miniport_->DataRangeIntersection(
        pinId, const_cast<PKSDATARANGE>(clientRange), const_cast<PKSDATARANGE>(pinRange),
        outputLength, result, resultLength);
    if (status == STATUS_NOT_IMPLEMENTED)
      status = DefaultIntersection(*clientRange, *pinRange, outputLength, result, resultLength);
    if (status != STATUS_NO_MATCH) return status;
  }
  return STATUS_NO_MATCH;
}

NTSTATUS PortBase::FilterProperty(const KSPROPERTY* property, PVOID instance, ULONG instanceSize,
                                  PVOID value, PULONG valueSize) {
  if (!property || !valueSize) return STATUS_INVALID_PARAMETER;
  const PCAUTOMATION_TABLE* table = descriptor_ ? descriptor_->AutomationTable : nullptr;
  if (table && table->PropertyCount && table->Properties) {
    ULONG stride = table->PropertyItemSize ? table->PropertyItemSize : sizeof(PCPROPERTY_ITEM);
    auto* base = reinterpret_cast<const BYTE*>(table->Properties);
    for (ULONG i = 0; i < table->PropertyCount; ++i) {
      auto* item = reinterpret_cast<const PCPROPERTY_ITEM*>(base + size_t(i) * stride);
      if (!item->Set || !IsEqualGUID(*item->Set, property->Set) || item->Id != property->Id)
        continue;
      if (!item->Handler) return STATUS_NOT_FOUND;
      PCPROPERTY_REQUEST request = {};
      request.MajorTarget = miniport_;
      request.MinorTarget = nullptr;
      request.Node = ULONG(-1);
      request.PropertyItem = item;
      request.Verb = property->Flags;
      request.InstanceSize = instanceSize;
      request.Instance = instance;
      request.ValueSize = *valueSize;
      request.Value = value;
      request.Irp = nullptr;
      NTSTATUS status = item->Handler(&request);
      *valueSize = request.ValueSize;
      return status;
    }
  }
  *valueSize = 0;
  return STATUS_NOT_FOUND;
}

NTSTATUS PortBase::AcquirePinInstance(ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize,
                                      bool* capture) {
  const PCPIN_DESCRIPTOR* pin = Pin(pinId);
  if (!pin) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  // Only streaming pins can be connected from outside; bridge pins cannot.
  if (ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH)
    return STATUS_INVALID_DEVICE_REQUEST;
  if (!format || formatSize < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) ||
      format->FormatSize > formatSize)
    return STATUS_INVALID_PARAMETER;
  bool matched = false;
  for (ULONG i = 0; i < ks.DataRangesCount && !matched; ++i)
    matched = ks.DataRanges[i] && DataRangeMatches(*format, *ks.DataRanges[i]);
  if (!matched) return STATUS_NO_MATCH;
  std::lock_guard<std::mutex> guard(lock_);
  if (childrenReleased_) return STATUS_DEVICE_REMOVED;
  if (pinInstances_[pinId] >= pin->MaxFilterInstanceCount ||
      pinInstances_[pinId] >= pin->MaxGlobalInstanceCount)
    return STATUS_INSUFFICIENT_RESOURCES;
  ++pinInstances_[pinId];
  *capture = ks.DataFlow == KSPIN_DATAFLOW_OUT;
  return STATUS_SUCCESS;
}

void PortBase::ReleasePinInstance(ULONG pinId) {
  std::lock_guard<std::mutex> guard(lock_);
  if (pinId < pinInstances_.size() && pinInstances_[pinId] > 0) --pinInstances_[pinId];
}

bool DataRangeMatches(const KSDATARANGE& a, const KSDATARANGE& b) {
  auto same = [](const GUID& x, const GUID& y) {
    return IsEqualGUID(x, GUID_NULL) || IsEqualGUID(y, GUID_NULL) || IsEqualGUID(x, y);
  };
  return same(a.MajorFormat, b.MajorFormat) && same(a.SubFormat, b.SubFormat) &&
         same(a.Specifier, b.Specifier);
}

}  // namespace sim::portcls
