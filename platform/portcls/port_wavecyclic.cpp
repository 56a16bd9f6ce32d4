#include "platform/portcls/port_wavecyclic.h"

#include <algorithm>
#include <cstring>

#include "platform/portcls/adapter_registry.h"
#include "platform/portcls/pin_support.h"

namespace sim::portcls {

namespace {
constexpr ULONG kPortTag = PoolTag("PcPt");
constexpr ULONG kPinTag = PoolTag("PcPn");
// What the port asks of SetNotificationFreq, in milliseconds.
constexpr ULONG kNotificationInterval = 10;
}  // namespace

// ---------------------------------------------------------------------------
// Port

NTSTATUS PortWaveCyclic::Create(PPORT* out) {
  auto* port = new (kPortTag) PortWaveCyclic();
  if (!port) return STATUS_INSUFFICIENT_RESOURCES;
  *out = port;
  return STATUS_SUCCESS;
}

PortWaveCyclic::PortWaveCyclic() : PortBase("WaveCyclic port", PortKind::WaveCyclic) {}

PortWaveCyclic::~PortWaveCyclic() { ReleaseChildrenOnce(); }

void* PortWaveCyclic::Query(REFIID iid) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IPort) ||
      IsEqualGUID(iid, IID_IPortWaveCyclic))
    return static_cast<IPortWaveCyclic*>(this);
  return QueryBase(iid);
}

STDMETHODIMP_(NTSTATUS) PortWaveCyclic::Init(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                             PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                                             PRESOURCELIST ResourceList) {
  if (!UnknownMiniport) return STATUS_INVALID_PARAMETER;
  if (initStarted_) return STATUS_INVALID_DEVICE_STATE;
  initStarted_ = true;
  PMINIPORTWAVECYCLIC miniport = nullptr;
  NTSTATUS status = UnknownMiniport->QueryInterface(IID_IMiniportWaveCyclic,
                                                    reinterpret_cast<PVOID*>(&miniport));
  if (!NT_SUCCESS(status)) return status;
  if (!miniport) return STATUS_INVALID_PARAMETER;
  status = miniport->Init(UnknownAdapter, ResourceList, this);
  if (NT_SUCCESS(status)) status = AttachMiniport(miniport);
  miniport->Release();
  if (NT_SUCCESS(status)) AdapterRegistry::TrackPort(DeviceObject, this);
  return status;
}

STDMETHODIMP_(void) PortWaveCyclic::Notify(PSERVICEGROUP ServiceGroup) {
  if (ServiceGroup) ServiceGroup->RequestService();
}

// ---------------------------------------------------------------------------
// Pin

NTSTATUS WavePin::Create(PortWaveCyclic* port, ULONG pinId, const KSDATAFORMAT* format,
                         ULONG formatSize, size_t queueBytes, WavePin** out) {
  *out = nullptr;
  bool capture = false;
  NTSTATUS status = port->AcquirePinInstance(pinId, format, formatSize, &capture);
  if (!NT_SUCCESS(status)) return status;
  auto* pin = new (kPinTag) WavePin(port, pinId, capture);
  if (!pin) {
    port->ReleasePinInstance(pinId);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto* bytes = reinterpret_cast<const uint8_t*>(format);
  pin->format_.assign(bytes, bytes + format->FormatSize);
  auto* pinFormat = reinterpret_cast<PKSDATAFORMAT>(pin->format_.data());
  status = port->waveMiniport()->NewStream(&pin->stream_, nullptr, NonPagedPoolNx, pinId,
                                           capture, pinFormat, &pin->dma_, &pin->group_);
  if (NT_SUCCESS(status) && (!pin->stream_ || !pin->dma_)) status = STATUS_UNSUCCESSFUL;
  if (NT_SUCCESS(status)) status = pin->LoadBuffer(queueBytes);
  if (!NT_SUCCESS(status)) {
    pin->Close();
    pin->Release();
    return status;
  }
  if (pin->group_) pin->group_->AddMember(pin);
  *out = pin;
  return STATUS_SUCCESS;
}

WavePin::WavePin(PortWaveCyclic* port, ULONG pinId, bool capture)
    : PcObject("WaveCyclic pin"), port_(port), pinId_(pinId), capture_(capture) {
  port_->AddRef();
  KeInitializeSpinLock(&lock_);
}

WavePin::~WavePin() {
  port_->ReleasePinInstance(pinId_);
  port_->Release();
}

void* WavePin::Query(REFIID iid) { return QueryPin(this, iid); }

// PASSIVE_LEVEL, while stopped: asks the stream for framing and the DMA
// channel for the cyclic buffer, and sizes the client queue to match.
NTSTATUS WavePin::LoadBuffer(size_t queueBytes) {
  ULONG framing = 0;
  ULONG interval = stream_->SetNotificationFreq(kNotificationInterval, &framing);
  ULONG size = dma_->BufferSize();
  auto* buffer = static_cast<BYTE*>(dma_->SystemAddress());
  if (!buffer || size == 0) return STATUS_INSUFFICIENT_RESOURCES;
  if (queueBytes == 0) queueBytes = queueBytes_ ? queueBytes_ : size_t(size) * 4;
  ScopedSpinLock held(&lock_);
  queueBytes_ = queueBytes;
  buffer_ = buffer;
  bufferSize_ = size;
  framingSize_ = framing;
  notificationInterval_ = interval;
  // Render keeps bytes in the queue until they have played, so a pause can
  // resume without losing them; that takes up to one buffer more.
  queue_.Reset(capture_ ? queueBytes : queueBytes + size);
  inBuffer_ = 0;
  cursor_ = 0;
  return STATUS_SUCCESS;
}

NTSTATUS WavePin::SetState(KSSTATE target) {
  return WalkPinState(stream_, state_, target, &lock_, running_, [this] { BeginRunLocked(); });
}

// The stream may restart its position on each run, so the cursors start
// from wherever it now reports. Bytes copied before and not played are sent
// again.
void WavePin::BeginRunLocked() {
  ULONG position = 0;
  stream_->GetPosition(&position);
  cursor_ = position % bufferSize_;
  inBuffer_ = 0;
  starved_ = false;
  overflowing_ = false;
  if (!capture_) FillLocked();
}

NTSTATUS WavePin::SetFormat(const KSDATAFORMAT* format, ULONG formatSize) {
  if (!stream_) return STATUS_INVALID_DEVICE_STATE;
  if (state_ != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (!format || formatSize < sizeof(KSDATAFORMAT) || format->FormatSize < sizeof(KSDATAFORMAT) ||
      format->FormatSize > formatSize)
    return STATUS_INVALID_PARAMETER;
  auto* bytes = reinterpret_cast<const uint8_t*>(format);
  std::vector<uint8_t> copy(bytes, bytes + format->FormatSize);
  NTSTATUS status = stream_->SetFormat(reinterpret_cast<PKSDATAFORMAT>(copy.data()));
  if (!NT_SUCCESS(status)) return status;
  format_.swap(copy);
  return LoadBuffer(0);
}

void WavePin::Close() {
  if (stream_) SetState(KSSTATE_STOP);
  if (group_) {
    // Waits out a notification in progress: the member lock is held then.
    group_->RemoveMember(this);
    group_->Release();
    group_ = nullptr;
  }
  {
    ScopedSpinLock held(&lock_);
    running_ = false;
    buffer_ = nullptr;
    bufferSize_ = 0;
    queue_.Clear();
  }
  if (dma_) {
    dma_->Release();
    dma_ = nullptr;
  }
  if (stream_) {
    stream_->Release();
    stream_ = nullptr;
  }
}

size_t WavePin::Write(const void* data, size_t bytes) {
  if (capture_) return 0;
  ScopedSpinLock held(&lock_);
  return queue_.Push(static_cast<const uint8_t*>(data), bytes);
}

size_t WavePin::Read(void* data, size_t bytes) {
  if (!capture_) return 0;
  ScopedSpinLock held(&lock_);
  return queue_.Pop(static_cast<uint8_t*>(data), bytes);
}

void WavePin::Service() {
  ScopedSpinLock held(&lock_);
  ++counters_.notifications;
  if (running_ && bufferSize_) {
    ULONG position = 0;
    stream_->GetPosition(&position);
    position %= bufferSize_;
    if (capture_)
      DrainLocked(position);
    else
      FeedLocked(position);
  }
}

void WavePin::FeedLocked(ULONG position) {
  size_t played = (position + bufferSize_ - cursor_) % bufferSize_;
  cursor_ = position;
  if (played > inBuffer_) {
    counters_.silenceBytes += played - inBuffer_;
    counters_.bytesPlayed += inBuffer_;
    queue_.Discard(inBuffer_);
    inBuffer_ = 0;
    if (!starved_) ++counters_.underruns;
    starved_ = true;
  } else {
    counters_.bytesPlayed += played;
    queue_.Discard(played);
    inBuffer_ -= played;
  }
  FillLocked();
}

// Copies queued bytes right after those still waiting to play, then silences
// the rest of the buffer up to the play position.
void WavePin::FillLocked() {
  ULONG write = static_cast<ULONG>((cursor_ + inBuffer_) % bufferSize_);
  size_t free = bufferSize_ - inBuffer_;
  size_t copied = std::min(queue_.size() - inBuffer_, free);
  ULONG at = write;
  queue_.VisitFrom(inBuffer_, copied, [&](const uint8_t* from, size_t n) {
    CopyToBuffer(at, from, static_cast<ULONG>(n));
    at = static_cast<ULONG>((at + n) % bufferSize_);
  });
  inBuffer_ += copied;
  counters_.bytesToDevice += copied;
  if (copied) starved_ = false;
  SilenceBuffer(at, static_cast<ULONG>(free - copied));
}

void WavePin::CopyToBuffer(ULONG offset, const uint8_t* from, ULONG bytes) {
  while (bytes) {
    ULONG piece = std::min(bytes, bufferSize_ - offset);
    dma_->CopyTo(buffer_ + offset, const_cast<uint8_t*>(from), piece);
    from += piece;
    bytes -= piece;
    offset = 0;
  }
}

void WavePin::SilenceBuffer(ULONG offset, ULONG bytes) {
  while (bytes) {
    ULONG piece = std::min(bytes, bufferSize_ - offset);
    stream_->Silence(buffer_ + offset, piece);
    bytes -= piece;
    offset = 0;
  }
}

void WavePin::DrainLocked(ULONG position) {
  size_t available = (position + bufferSize_ - cursor_) % bufferSize_;
  size_t taken = std::min(available, queue_.space());
  ULONG at = cursor_;
  queue_.AppendWith(taken, [&](uint8_t* to, size_t n) {
    size_t done = 0;
    while (done < n) {
      ULONG piece = static_cast<ULONG>(std::min<size_t>(n - done, bufferSize_ - at));
      dma_->CopyFrom(to + done, buffer_ + at, piece);
      done += piece;
      at = (at + piece) % bufferSize_;
    }
  });
  cursor_ = position;
  counters_.bytesFromDevice += taken;
  CountOverflow(available - taken, overflowing_, counters_.overruns, counters_.droppedBytes);
}

size_t WavePin::queuedBytes() {
  ScopedSpinLock held(&lock_);
  return queue_.size() - (capture_ ? 0 : inBuffer_);
}

size_t WavePin::bufferedBytes() {
  ScopedSpinLock held(&lock_);
  return capture_ ? 0 : inBuffer_;
}

ULONG WavePin::lastPosition() {
  ScopedSpinLock held(&lock_);
  return cursor_;
}

WavePinCounters WavePin::counters() {
  ScopedSpinLock held(&lock_);
  return counters_;
}

}  // namespace sim::portcls
