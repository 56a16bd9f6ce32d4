// The simulated Tarvik as a USB device function, independent of any host
// controller: it answers control requests given as a setup packet and a data
// stage, keeps its configuration and alternate settings, and moves one
// packet per endpoint per microframe when the host controller asks.
//
// Time: the host controller announces each microframe with BeginMicroframe
// (a monotonic count of 125-us microframes, frame number × 8 + microframe);
// the endpoint calls that follow belong to that microframe. The unit has no
// clock of its own beyond that count; its crystal turns microframes into
// sample frames.
//
// Threads: every public member may be called from any thread; one internal
// mutex, a leaf lock, serialises them. The unit never calls out.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include <usbspec.h>

#include "sim/unit/crystal.h"
#include "sim/unit/descriptors.h"
#include "sim/unit/midi_port.h"
#include "sim/unit/output_tap.h"
#include "sim/unit/patch_bay.h"

namespace sim::unit {

struct UnitConfig {
  DescriptorOptions descriptors;
  double crystalPpm = 0.0;
  unsigned dacDelay = kDefaultDacDelay;  // frames
  unsigned adcDelay = kDefaultAdcDelay;  // frames
  bool fullSpeed = false;                // attached at full speed
  std::u16string serialNumber = u"TV0001";
};

// What an endpoint did with one packet or transfer.
enum class EndpointStatus {
  Ok,
  Nak,         // bulk IN: nothing to send yet
  Stalled,     // the endpoint is halted
  NotActive,   // not an endpoint of the current configuration and settings
  NoResponse,  // the packet was lost on the bus (injected)
  Babble,      // the packet was longer than the host's buffer; truncated
  Malformed,   // isochronous OUT: not a whole number of frames; dropped
};

struct Transfer {
  EndpointStatus status = EndpointStatus::Ok;
  size_t length = 0;  // bytes moved
};

struct ControlOutcome {
  bool stalled = false;
  size_t length = 0;  // data-stage bytes moved
};

struct VendorRequest {
  uint8_t request;
  uint16_t value;
  uint16_t index;
  uint64_t microframe;
};

struct UnitCounters {
  uint64_t outPackets = 0;
  uint64_t outFrames = 0;
  uint64_t outMalformedPackets = 0;  // length not a whole number of frames, or too long
  uint64_t outUnderruns = 0;         // running stream, no OUT packet in a microframe
  uint64_t outOverflowFrames = 0;    // frames the DAC buffer could not hold
  uint64_t outStarvedFrames = 0;     // ticks the DAC played silence while running
  uint64_t inPackets = 0;
  uint64_t inFrames = 0;
  uint64_t inDroppedPackets = 0;
  uint64_t inShortenedPackets = 0;
};

class TarvikUnit {
 public:
  explicit TarvikUnit(UnitConfig config = {});
  ~TarvikUnit();
  TarvikUnit(const TarvikUnit&) = delete;
  TarvikUnit& operator=(const TarvikUnit&) = delete;

  // ---- Host controller side --------------------------------------------
  // Closes every earlier microframe (underruns, DAC playout) and makes
  // `microframe` current. Microframes never go backwards.
  void BeginMicroframe(uint64_t microframe);

  // Default control pipe. `data` is the data stage: the host's buffer for a
  // device-to-host request (the unit writes at most wLength bytes), the bytes
  // sent for a host-to-device one.
  ControlOutcome Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<uint8_t> data);

  // Isochronous OUT: one packet of interleaved 4-channel float frames.
  EndpointStatus IsoOut(uint8_t endpoint, std::span<const uint8_t> packet);
  // Isochronous IN: the 10-channel float frames the crystal clocked in this
  // microframe (5, 6 or 7).
  Transfer IsoIn(uint8_t endpoint, std::span<uint8_t> buffer);

  // Bulk OUT: USB-MIDI event packets; always taken unless stalled/inactive.
  EndpointStatus BulkOut(uint8_t endpoint, std::span<const uint8_t> data);
  // Bulk IN: whole event packets up to the buffer's size, or Nak.
  Transfer BulkIn(uint8_t endpoint, std::span<uint8_t> buffer);
  bool BulkInReady(uint8_t endpoint);

  // Fault knobs the host controller applies itself: true when this transfer
  // is to fail (consumes one of FailNextTransfers).
  bool TakeTransferFailure(uint8_t endpoint);
  bool IsHalted(uint8_t endpoint) const;
  bool fullSpeed() const { return config_.fullSpeed; }

  uint8_t configuration() const;
  uint8_t alternateSetting(uint8_t interface) const;
  std::vector<uint8_t> deviceDescriptor() const { return deviceDescriptor_; }
  std::vector<uint8_t> configurationDescriptor() const { return configurationDescriptor_; }

  // ---- Bench side: signals, taps, MIDI, faults ---------------------------
  void PatchInput(unsigned inputChannel, const InputSource& source);
  void TapOutput(unsigned outputChannel);                           // to memory
  void TapOutputToWav(unsigned outputChannel, const std::string& path);
  std::vector<float> TapSamples(unsigned outputChannel) const;
  uint64_t TapUnderruns(unsigned outputChannel) const;
  void CloseTaps();  // finishes WAV taps

  void SetMidiQuiet();
  void SetMidiEcho();
  void PlayMidiScript(std::vector<ScriptedMidiPacket> script);  // starts now
  std::vector<ReceivedMidiPacket> ReceivedMidi() const;
  uint64_t MalformedMidiWrites() const;

  std::vector<VendorRequest> VendorRequests() const;
  UnitCounters counters() const;

  void SetCrystalError(double ppm);  // from the current microframe on
  void FailNextTransfers(uint8_t endpoint, unsigned count);
  void Stall(uint8_t endpoint);  // until CLEAR_FEATURE(ENDPOINT_HALT) or reselection
  void DropNextInPackets(uint8_t endpoint, unsigned count);
  void ShortenNextInPackets(uint8_t endpoint, unsigned count, unsigned framesLeft);
  void RefuseConfiguration(bool refuse);

 private:
  struct Endpoint {
    uint8_t address;
    uint8_t interface;
    bool halted = false;
    unsigned failNext = 0;
    unsigned dropNext = 0;
    unsigned shortenNext = 0;
    unsigned shortenTo = 0;
  };
  using Frame = std::array<float, kOutChannels>;

  void EnsureStarted();
  void CloseMicroframe();
  uint64_t crystalMicroframe() const { return current_ - origin_; }
  Endpoint* Find(uint8_t address);
  const Endpoint* Find(uint8_t address) const;
  bool IsActive(const Endpoint& endpoint) const;
  Endpoint* ActiveEndpoint(uint8_t address);
  OutputTap& Tap(unsigned outputChannel) const;
  void ResetInterface(uint8_t interface);

  ControlOutcome Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<uint8_t> data);
  ControlOutcome GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                               std::span<uint8_t> data) const;
  ControlOutcome Vendor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup);

  const UnitConfig config_;
  const std::vector<uint8_t> deviceDescriptor_;
  const std::vector<uint8_t> configurationDescriptor_;

  mutable std::mutex lock_;
  bool started_ = false;
  uint64_t origin_ = 0;   // first microframe heard of
  uint64_t current_ = 0;  // current microframe
  Crystal crystal_;
  PatchBay patchBay_;
  MidiPort midi_;
  std::array<std::unique_ptr<OutputTap>, kOutChannels> taps_;

  uint8_t configuration_ = 0;
  std::array<uint8_t, kInterfaceCount> alternates_{};
  std::array<Endpoint, 4> endpoints_;
  bool refuseConfiguration_ = false;

  bool outRunning_ = false;  // an OUT packet arrived since the setting was selected
  bool outPacketThisMicroframe_ = false;
  std::deque<Frame> dacBuffer_;
  std::vector<float> captureScratch_;

  std::vector<VendorRequest> vendorRequests_;
  UnitCounters counters_;
};

}  // namespace sim::unit
