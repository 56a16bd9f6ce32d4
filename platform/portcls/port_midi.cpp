#include "platform/portcls/port_midi.h"

#include <algorithm>

#include "platform/portcls/adapter_registry.h"
#include "platform/portcls/pin_support.h"
#include "platform/sim/machine.h"

namespace sim::portcls {

namespace {
constexpr ULONG kPortTag = PoolTag("PcPt");
constexpr ULONG kPinTag = PoolTag("PcPn");
constexpr LONGLONG kRetryDelay = -10'000;  // 1 ms, relative
constexpr size_t kDefaultQueueBytes = 4096;
constexpr size_t kReadChunk = 256;
}  // namespace

// ---------------------------------------------------------------------------
// Port

NTSTATUS PortMidi::Create(PPORT* out) {
  auto* port = new (kPortTag) PortMidi();
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  *out = port;
  return STATUS_SUCCESS;
}

PortMidi::PortMidi() : PortBase("MIDI port", PortKind::Midi) {
  KeInitializeDpc(&notifyDpc_, NotifyDpc, this);
  KeInitializeSpinLock(&pinsLock_);
}

PortMidi::~PortMidi() {
  ReleaseChildrenOnce();
  KeRemoveQueueDpc(&notifyDpc_);
  if (KeGetCurrentIrql() < DISPATCH_LEVEL) KeFlushQueuedDpcs();
}

void* PortMidi::Query(REFIID iid) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
      IsEqualGUID(iid, IID_IPortMidi))
    return static_cast<IPortMidi*>(this);
  if (IsEqualGUID(iid, IID_IServiceSink)) return static_cast<IServiceSink*>(this);
  return QueryBase(iid);
}

STDMETHODIMP_(NTSTATUS) PortMidi::Init(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                       PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                                       PRESOURCELIST ResourceList) {
  if (!UnknownMiniport) return STATUS_INVALID_PARAMETER;
  if (initStarted_) return STATUS_INVALID_DEVICE_STATE;
  initStarted_ = true;
  PMINIPORTMIDI miniport = nullptr;
  NTSTATUS status =
      UnknownMiniport->QueryInterface(IID_IMiniportMidi, reinterpret_cast<PVOID*>(&miniport));
  if (!NT_SUCCESS(status)) return status;
  if (!miniport) return STATUS_INVALID_PARAMETER;
  PSERVICEGROUP group = nullptr;
  status = miniport->Init(UnknownAdapter, ResourceList, this, &group);
  initGroup_ = group;
  if (NT_SUCCESS(status)) status = AttachMiniport(miniport);
  miniport->Release();
  if (NT_SUCCESS(status)) AdapterRegistry::TrackPort(DeviceObject, this);
  return status;
}

void PortMidi::ReleaseChildren() {
  if (registeredGroup_) {
    registeredGroup_->RemoveMember(static_cast<IServiceSink*>(this));
    registeredGroup_->Release();
    registeredGroup_ = nullptr;
  }
  if (initGroup_) {
    initGroup_->Release();
    initGroup_ = nullptr;
  }
  PortBase::ReleaseChildren();
}

STDMETHODIMP_(void) PortMidi::Notify(PSERVICEGROUP ServiceGroup) {
  if (ServiceGroup)
    ServiceGroup->RequestService();
  else
    KeInsertQueueDpc(&notifyDpc_, nullptr, nullptr);
}

void PortMidi::NotifyDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<PortMidi*>(context)->RequestService();
}

STDMETHODIMP_(void) PortMidi::RegisterServiceGroup(PSERVICEGROUP ServiceGroup) {
  if (!ServiceGroup || ServiceGroup == registeredGroup_) return;
  if (registeredGroup_) {
    registeredGroup_->RemoveMember(static_cast<IServiceSink*>(this));
    registeredGroup_->Release();
  }
  ServiceGroup->AddRef();
  registeredGroup_ = ServiceGroup;
  ServiceGroup->AddMember(static_cast<IServiceSink*>(this));
}

STDMETHODIMP_(void) PortMidi::RequestService() {
  ScopedSpinLock held(&pinsLock_);
  for (MidiPin* pin : pins_) pin->Service();
}

void PortMidi::AddPin(MidiPin* pin) {
  ScopedSpinLock held(&pinsLock_);
  pins_.push_back(pin);
}

void PortMidi::RemovePin(MidiPin* pin) {
  ScopedSpinLock held(&pinsLock_);
  pins_.erase(std::remove(pins_.begin(), pins_.end(), pin), pins_.end());
}

// ---------------------------------------------------------------------------
// Pin

NTSTATUS MidiPin::Create(PortMidi* port, ULONG pinId, const KSDATAFORMAT* format,
                         ULONG formatSize, size_t queueBytes, MidiPin** out) {
  *out = nullptr;
  bool capture = false;
  NTSTATUS status = port->AcquirePinInstance(pinId, format, formatSize, &capture);
  if (!NT_SUCCESS(status)) return status;
  auto* pin = new (kPinTag) MidiPin(port, pinId, capture);
  if (!pin) {
    port->ReleasePinInstance(pinId);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* bytes = reinterpret_cast<const uint8_t*>(format);
  pin->format_.assign(bytes, bytes + format->FormatSize);
  pin->queue_.Reset(queueBytes ? queueBytes : kDefaultQueueBytes);
  PSERVICEGROUP group = nullptr;
  status = port->midiMiniport()->NewStream(&pin->stream_, nullptr, NonPagedPoolNx, pinId, capture,
                                           reinterpret_cast<PKSDATAFORMAT>(pin->format_.data()),
                                           &group);
  if (NT_SUCCESS(status) && !pin->stream_) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) {
    if (group) group->Release();
    pin->Close();
    pin->Release();
    return status;
  }
  // The port already services every pin through its registered group.
  if (group && group != port->registeredGroup()) {
    pin->group_ = group;
    group->AddMember(pin);
  } else if (group) {
    group->Release();
  }
  {
    ScopedSpinLock held(&pin->lock_);
    pin->open_ = true;
  }
  port->AddPin(pin);
  pin->listed_ = true;
  *out = pin;
  return STATUS_SUCCESS;
}

MidiPin::MidiPin(PortMidi* port, ULONG pinId, bool capture)
    : PcObject("MIDI pin"), port_(port), pinId_(pinId), capture_(capture) {
  port_->AddRef();
  KeInitializeSpinLock(&lock_);
  KeInitializeTimerEx(&retryTimer_, NotificationTimer);
  KeInitializeDpc(&retryDpc_, RetryDpc, this);
}

MidiPin::~MidiPin() {
  port_->ReleasePinInstance(pinId_);
  port_->Release();
}

void* MidiPin::Query(REFIID iid) { return QueryPin(this, iid); }

NTSTATUS MidiPin::SetState(KSSTATE target) {
  return WalkPinState(stream_, state_, target, &lock_, running_, [this] {
    if (!capture_) PumpLocked();
  });
}

void MidiPin::Close() {
  if (stream_) SetState(KSSTATE_STOP);
  if (listed_) {
    port_->RemovePin(this);
    listed_ = false;
  }
  if (group_) {
    group_->RemoveMember(this);
    group_->Release();
    group_ = nullptr;
  }
  {
    ScopedSpinLock held(&lock_);
    open_ = false;
    running_ = false;
  }
  KeCancelTimer(&retryTimer_);
  KeRemoveQueueDpc(&retryDpc_);
  KeFlushQueuedDpcs();
  if (stream_) {
    stream_->Release();
    stream_ = nullptr;
  }
}

size_t MidiPin::Write(const void* data, size_t bytes) {
  if (capture_) return 0;
  ScopedSpinLock held(&lock_);
  size_t taken = open_ ? queue_.Push(static_cast<const uint8_t*>(data), bytes) : 0;
  if (running_) PumpLocked();
  return taken;
}

size_t MidiPin::Read(void* data, size_t bytes) {
  if (!capture_) return 0;
  ScopedSpinLock held(&lock_);
  if (open_) PullLocked();
  return queue_.Pop(static_cast<uint8_t*>(data), bytes);
}

void MidiPin::Service() {
  ScopedSpinLock held(&lock_);
  if (open_) {
    if (capture_)
      PullLocked();
    else if (running_)
      PumpLocked();
  }
}

void MidiPin::RetryDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<MidiPin*>(context)->Service();
}

void MidiPin::PumpLocked() {
  bool stalled = false;
  while (queue_.size() && !stalled) {
    size_t offered = 0;
    size_t taken = 0;
    queue_.VisitFrom(0, queue_.size(), [&](const uint8_t* from, size_t n) {
      if (offered > taken) return;  // the first piece was not taken whole
      ULONG written = 0;
      ++counters_.writeCalls;
      NTSTATUS status =
          stream_->Write(const_cast<uint8_t*>(from), static_cast<ULONG>(n), &written);
      written = NT_SUCCESS(status) ? std::min<ULONG>(written, static_cast<ULONG>(n)) : 0;
      offered += n;
      taken += written;
    });
    queue_.Discard(taken);
    counters_.bytesWritten += taken;
    stalled = taken < offered;
  }
  if (queue_.size()) {
    LARGE_INTEGER due;
    due.QuadPart = kRetryDelay;
    KeSetTimer(&retryTimer_, due, &retryDpc_);
  }
}

void MidiPin::PullLocked() {
  uint8_t chunk[kReadChunk];
  for (;;) {
    ULONG got = 0;
    NTSTATUS status = stream_->Read(chunk, sizeof(chunk), &got);
    if (!NT_SUCCESS(status) || got == 0) break;
    got = std::min<ULONG>(got, sizeof(chunk));
    counters_.bytesRead += got;
    size_t kept = queue_.Push(chunk, got);
    CountOverflow(got - kept, overflowing_, counters_.overruns, counters_.droppedBytes);
  }
}

size_t MidiPin::queuedBytes() {
  ScopedSpinLock held(&lock_);
  return queue_.size();
}

MidiPinCounters MidiPin::counters() {
  ScopedSpinLock held(&lock_);
  return counters_;
}

}  // namespace sim::portcls
