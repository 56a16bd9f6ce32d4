// The WaveCyclic port and its pins.
//
// A pin owns the miniport stream, its DMA channel and the service group the
// miniport returned, and is a member of that group: each notification runs
// Service(), which reads GetPosition and
//  - render: counts the bytes played since the last pass, copies queued
//    client bytes into the cyclic buffer right after the bytes still waiting
//    to play, and silences the rest of the buffer up to the play position.
//    When the play position has passed the end of the client's bytes the
//    client fell behind: one underrun per such episode, and the client's
//    bytes resume at the play position.
//  - capture: copies the bytes between its read cursor and the position to
//    the client queue; bytes that do not fit are dropped, one overrun per
//    episode.
// The position is a byte offset in the cyclic buffer, so a pass sees at most
// one buffer's worth of progress.
//
// Locks: the pin's spin lock guards its queue, cursors and counters; it is
// taken inside the service group's member lock and is never held while the
// port calls the stream's SetState, SetFormat or releases it (those run at
// PASSIVE_LEVEL).
#pragma once

#include <cstdint>
#include <vector>

#include <portcls.h>

#include "platform/portcls/byte_ring.h"
#include "platform/portcls/port_base.h"

namespace sim::portcls {

class PortWaveCyclic final : public IPortWaveCyclic, public PortBase {
 public:
  static NTSTATUS Create(PPORT* out);

  PC_OBJECT_UNKNOWN()

  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
  STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override;

  PMINIPORTWAVECYCLIC waveMiniport() const {
    return static_cast<PMINIPORTWAVECYCLIC>(miniport());
  }

 private:
  PortWaveCyclic();
  ~PortWaveCyclic() override;
  void* Query(REFIID iid);

  bool initStarted_ = false;
};

struct WavePinCounters {
  uint64_t notifications = 0;
  uint64_t bytesToDevice = 0;    // render: client bytes copied into the buffer
  uint64_t bytesPlayed = 0;      // render: client bytes the position has passed
  uint64_t underruns = 0;
  uint64_t silenceBytes = 0;     // render: bytes played past the client's data
  uint64_t bytesFromDevice = 0;  // capture: bytes handed to the client queue
  uint64_t overruns = 0;
  uint64_t droppedBytes = 0;     // capture: bytes lost because the client did not read
};

class WavePin final : public IServiceSink, public PcObject {
 public:
  // queueBytes 0 picks four cyclic buffers' worth.
  static NTSTATUS Create(PortWaveCyclic* port, ULONG pinId, const KSDATAFORMAT* format,
                         ULONG formatSize, size_t queueBytes, WavePin** out);

  PC_OBJECT_UNKNOWN()
  STDMETHODIMP_(void) RequestService() override { Service(); }

  // Walks the KS states one step at a time to `target`.
  NTSTATUS SetState(KSSTATE target);
  KSSTATE state() const { return state_; }
  // Only while stopped; discards queued bytes, which were in the old format.
  NTSTATUS SetFormat(const KSDATAFORMAT* format, ULONG formatSize);
  // Stops and lets go of the stream; the pin is inert afterwards.
  void Close();

  size_t Write(const void* data, size_t bytes);
  size_t Read(void* data, size_t bytes);
  void Service();

  bool capture() const { return capture_; }
  size_t queuedBytes();    // render: not yet in the buffer; capture: readable
  size_t bufferedBytes();  // render: in the buffer ahead of the play position
  ULONG bufferSize() const { return bufferSize_; }
  ULONG framingSize() const { return framingSize_; }
  ULONG notificationInterval() const { return notificationInterval_; }
  const BYTE* buffer() const { return buffer_; }
  ULONG lastPosition();
  WavePinCounters counters();
  PMINIPORTWAVECYCLICSTREAM stream() const { return stream_; }

 private:
  WavePin(PortWaveCyclic* port, ULONG pinId, bool capture);
  ~WavePin() override;
  void* Query(REFIID iid);
  NTSTATUS LoadBuffer(size_t queueBytes);
  void BeginRunLocked();
  void FeedLocked(ULONG position);
  void FillLocked();
  void DrainLocked(ULONG position);
  void CopyToBuffer(ULONG offset, const uint8_t* from, ULONG bytes);
  void SilenceBuffer(ULONG offset, ULONG bytes);

  PortWaveCyclic* port_;  // one reference
  const ULONG pinId_;
  const bool capture_;
  std::vector<uint8_t> format_;  // stays valid for the stream, as KS keeps it
  PMINIPORTWAVECYCLICSTREAM stream_ = nullptr;
  PDMACHANNEL dma_ = nullptr;
  PSERVICEGROUP group_ = nullptr;
  size_t queueBytes_ = 0;

  KSSTATE state_ = KSSTATE_STOP;  // written at PASSIVE_LEVEL by the client only

  KSPIN_LOCK lock_;  // guards everything below
  bool running_ = false;
  BYTE* buffer_ = nullptr;
  ULONG bufferSize_ = 0;
  ULONG framingSize_ = 0;
  ULONG notificationInterval_ = 0;
  ByteRing queue_;
  size_t inBuffer_ = 0;  // render: queue bytes already copied, not yet played
  ULONG cursor_ = 0;     // render: last play position; capture: read cursor
  bool starved_ = false;
  bool overflowing_ = false;
  WavePinCounters counters_;
};

}  // namespace sim::portcls
