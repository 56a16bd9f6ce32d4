#include "driver/wdm/midi_miniport.h"

#include "driver/wdm/midi_filter_descriptors.h"
#include "driver/wdm/midi_streams.h"
#include "driver/wdm/midi_subdevice.h"

CMidiMiniport::~CMidiMiniport() {
  if (AdapterContext) {
    AdapterContext->Release();
    AdapterContext = nullptr;
  }
  if (Port) {
    Port->Release();
    Port = nullptr;
  }
  if (ServiceGroup) {
    ServiceGroup->Release();
    ServiceGroup = nullptr;
  }
}

STDMETHODIMP_(NTSTATUS) CMidiMiniport::NonDelegatingQueryInterface(REFIID InterfaceId,
                                                                  PVOID* Interface) {
  if (IsEqualGUID(InterfaceId, IID_IUnknown) || IsEqualGUID(InterfaceId, IID_IMiniport) ||
      IsEqualGUID(InterfaceId, IID_IMiniportMidi)) {
    *Interface = static_cast<PMINIPORTMIDI>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *Interface = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) CMidiMiniport::GetDescription(PPCFILTER_DESCRIPTOR* Description) {
  if (!Description) {
    return STATUS_INVALID_PARAMETER;
  }
  const BOOLEAN hasOutput = Slot && Slot->RenderSide;
  const BOOLEAN hasInput = Slot && Slot->CaptureSide;
  const PCFILTER_DESCRIPTOR* filter = MidiFilterDescriptor(hasOutput, hasInput);
  *Description = const_cast<PPCFILTER_DESCRIPTOR>(filter);
  return filter ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// The port's own intersection serves the static ranges.
STDMETHODIMP_(NTSTATUS) CMidiMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE,
                                                            ULONG, PVOID, PULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CMidiMiniport::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST,
                                           PPORTMIDI port, PSERVICEGROUP* serviceGroup) {
  if (!port || !serviceGroup) {
    return STATUS_INVALID_PARAMETER;
  }
  *serviceGroup = nullptr;
  // The unit first: a group already registered with the port would keep
  // the port alive through its membership after a failed Init.
  PVOID adapterContext = nullptr;
  NTSTATUS status = UnknownAdapter
                        ? UnknownAdapter->QueryInterface(IID_IAdapterContext, &adapterContext)
                        : STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(status) || !adapterContext) {
    return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  }
  AdapterContext = static_cast<PADAPTERCONTEXT>(adapterContext);
  status = PcNewServiceGroup(&ServiceGroup, nullptr);
  if (!NT_SUCCESS(status) || !ServiceGroup) {
    ServiceGroup = nullptr;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Port = port;
  Port->AddRef();
  ServiceGroup->AddRef();
  *serviceGroup = ServiceGroup;
  Port->RegisterServiceGroup(ServiceGroup);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CMidiMiniport::Service() {}

namespace {

// A stream that the miniport returns with one reference, or nothing.
template <class Stream, class Side>
NTSTATUS CreateStream(CMidiMiniport* miniport, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                      Side* side, PMINIPORTMIDISTREAM* created) {
  auto* stream = new (poolType, kMidiStreamPoolTag) Stream(outerUnknown, miniport);
  if (!stream) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  stream->NonDelegatingAddRef();
  if (!NT_SUCCESS(stream->Open(side))) {
    stream->NonDelegatingRelease();
    return STATUS_UNSUCCESSFUL;
  }
  *created = static_cast<PMINIPORTMIDISTREAM>(stream);
  return STATUS_SUCCESS;
}

}  // namespace

STDMETHODIMP_(NTSTATUS) CMidiMiniport::NewStream(PMINIPORTMIDISTREAM* Stream,
                                                PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                                ULONG, BOOLEAN Capture, PKSDATAFORMAT,
                                                PSERVICEGROUP* serviceGroup) {
  if (!Stream) {
    return STATUS_INVALID_PARAMETER;
  }
  *Stream = nullptr;
  if (serviceGroup) {
    *serviceGroup = nullptr;
  }
  if (!Slot || (Capture ? !Slot->CaptureSide : !Slot->RenderSide)) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!Capture) {
    // Output streams need no service: the pipe drains their packets.
    return CreateStream<CMidiOutStream>(this, OuterUnknown, PoolType, Slot->RenderSide, Stream);
  }
  NTSTATUS status =
      CreateStream<CMidiInStream>(this, OuterUnknown, PoolType, Slot->CaptureSide, Stream);
  if (NT_SUCCESS(status) && serviceGroup && ServiceGroup) {
    ServiceGroup->AddRef();
    *serviceGroup = ServiceGroup;
  }
  return status;
}

VOID CMidiMiniport::NotifyPort() {
  if (Port && ServiceGroup) {
    Port->Notify(ServiceGroup);
  }
}
