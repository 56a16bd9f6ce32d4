// The MIDI port and its pins.
//
// The port is a member of the service group its miniport registers
// (RegisterServiceGroup); each service pass runs every open pin:
//  - render: hands queued client bytes to the stream's Write while the pin
//    runs; what the stream does not take stays queued and is offered again
//    at the next pass or after a 1 ms retry timer.
//  - capture: calls the stream's Read until it returns nothing and queues
//    the bytes for the client; bytes that do not fit are dropped, one overrun
//    per episode.
//
// Locks, outermost first: service group member lock, the port's pin-list
// lock, a pin's lock; stream Read/Write run under the pin's lock at
// DISPATCH_LEVEL. SetState and release of the stream run at PASSIVE_LEVEL
// with no lock held.
#pragma once

#include <cstdint>
#include <vector>

#include <portcls.h>

#include "platform/portcls/byte_ring.h"
#include "platform/portcls/port_base.h"

namespace sim::portcls {

class MidiPin;

class PortMidi final : public IPortMidi, public IServiceSink, public PortBase {
 public:
  static NTSTATUS Create(PPORT* out);

  PC_OBJECT_UNKNOWN()

  STDMETHODIMP_(NTSTATUS) Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport,
                               PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList) override;
  STDMETHODIMP_(void) Notify(PSERVICEGROUP ServiceGroup) override;
  STDMETHODIMP_(void) RegisterServiceGroup(PSERVICEGROUP ServiceGroup) override;
  STDMETHODIMP_(void) RequestService() override;

  PMINIPORTMIDI midiMiniport() const { return static_cast<PMINIPORTMIDI>(miniport()); }
  PSERVICEGROUP registeredGroup() const { return registeredGroup_; }

  void AddPin(MidiPin* pin);
  void RemovePin(MidiPin* pin);

 private:
  PortMidi();
  ~PortMidi() override;
  void* Query(REFIID iid);
  void ReleaseChildren() override;
  static KDEFERRED_ROUTINE NotifyDpc;

  bool initStarted_ = false;
  PSERVICEGROUP initGroup_ = nullptr;        // what the miniport's Init returned
  PSERVICEGROUP registeredGroup_ = nullptr;  // the port is a member of it
  KDPC notifyDpc_;                           // Notify(NULL): service the port itself
  KSPIN_LOCK pinsLock_;
  std::vector<MidiPin*> pins_;  // guarded by pinsLock_; not referenced
};

struct MidiPinCounters {
  uint64_t writeCalls = 0;     // render: calls of the stream's Write
  uint64_t bytesWritten = 0;   // render: bytes the stream took
  uint64_t bytesRead = 0;      // capture: bytes the stream's Read gave
  uint64_t overruns = 0;
  uint64_t droppedBytes = 0;
};

class MidiPin final : public IServiceSink, public PcObject {
 public:
  static NTSTATUS Create(PortMidi* port, ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize,
                         size_t queueBytes, MidiPin** out);

  PC_OBJECT_UNKNOWN()
  STDMETHODIMP_(void) RequestService() override { Service(); }

  NTSTATUS SetState(KSSTATE target);
  KSSTATE state() const { return state_; }
  void Close();

  // Render: queues bytes and offers them to the stream at once when running.
  size_t Write(const void* data, size_t bytes);
  // Capture: collects what the stream has, then hands out queued bytes.
  size_t Read(void* data, size_t bytes);
  void Service();

  bool capture() const { return capture_; }
  size_t queuedBytes();
  MidiPinCounters counters();
  PMINIPORTMIDISTREAM stream() const { return stream_; }

 private:
  MidiPin(PortMidi* port, ULONG pinId, bool capture);
  ~MidiPin() override;
  void* Query(REFIID iid);
  void PumpLocked();
  void PullLocked();
  static KDEFERRED_ROUTINE RetryDpc;

  PortMidi* port_;  // one reference
  const ULONG pinId_;
  const bool capture_;
  std::vector<uint8_t> format_;
  PMINIPORTMIDISTREAM stream_ = nullptr;
  PSERVICEGROUP group_ = nullptr;  // the stream's own group, when it is not the port's
  bool listed_ = false;            // in the port's pin list
  KSSTATE state_ = KSSTATE_STOP;   // written at PASSIVE_LEVEL by the client only
  KTIMER retryTimer_;
  KDPC retryDpc_;

  KSPIN_LOCK lock_;  // guards everything below
  bool running_ = false;
  bool open_ = false;
  ByteRing queue_;
  bool overflowing_ = false;
  MidiPinCounters counters_;
};

}  // namespace sim::portcls
