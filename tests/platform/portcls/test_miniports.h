// Small miniports for the framework's tests, written the way a driver
// writes them (CUnknown, DECLARE_STD_UNKNOWN, IMP_ macros, pool memory).
//
// The wave miniport serves a duplex filter: pin 0 bridge out, pin 1 render
// host pin, pin 2 capture host pin, pin 3 bridge in, a DAC and an ADC node.
// Its streams are their own DMA channels; the test moves the position with
// Advance() and tells the port with Notify().
//
// The MIDI miniport serves pin 0 render (host in), pin 1 bridge out, pin 2
// capture (host out), pin 3 bridge in. Its render stream takes at most
// `writeLimit` bytes per Write; its capture stream hands out what the test
// Feed()s it.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <portcls.h>

namespace tests {

inline constexpr ULONG kTestTag = 0x74734554;  // "TEst"

// What happened, in order, so tests can check the calls the port made.
struct CallLog {
  std::vector<std::string> calls;
  void Add(std::string call) { calls.push_back(std::move(call)); }
  bool Contains(const std::string& call) const;
  std::string Joined() const;
};

struct WaveConfig {
  ULONG rate = 48000;
  ULONG maxChannels = 2;
  // The miniport's own intersection, or STATUS_NOT_IMPLEMENTED for the port's.
  bool ownIntersection = true;
  NTSTATUS initStatus = STATUS_SUCCESS;
  // Cyclic buffer length in milliseconds of audio.
  ULONG bufferMs = 10;
};

class TestWaveStream;

class TestWaveMiniport : public IMiniportWaveCyclic, public CUnknown {
 public:
  TestWaveMiniport(PUNKNOWN outer, const WaveConfig& config, CallLog* log,
                   std::atomic<int>* alive);
  ~TestWaveMiniport() override;
  DECLARE_STD_UNKNOWN();
  IMP_IMiniportWaveCyclic;

  PPORTWAVECYCLIC port() const { return port_; }
  PSERVICEGROUP serviceGroup() const { return group_; }
  const WaveConfig& config() const { return config_; }
  CallLog* log() const { return log_; }
  // What the last property request carried.
  PUNKNOWN lastMajorTarget = nullptr;
  ULONG lastPropertyPin = ~0u;

 private:
  static NTSTATUS ProposeFormatHandler(PPCPROPERTY_REQUEST request);
  WaveConfig config_;
  CallLog* log_;
  std::atomic<int>* alive_;
  PPORTWAVECYCLIC port_ = nullptr;
  PSERVICEGROUP group_ = nullptr;
  KSDATARANGE_AUDIO ranges_[2];
  PKSDATARANGE rangePointers_[2];
  PCPIN_DESCRIPTOR pins_[4];
  PCFILTER_DESCRIPTOR filter_;
};

class TestWaveStream : public IMiniportWaveCyclicStream,
                       public IDmaChannel,
                       public IDrmAudioStream,
                       public CUnknown {
 public:
  TestWaveStream(PUNKNOWN outer, TestWaveMiniport* miniport, bool capture);
  ~TestWaveStream() override;
  DECLARE_STD_UNKNOWN();
  IMP_IMiniportWaveCyclicStream;
  IMP_IDmaChannel;
  STDMETHODIMP_(NTSTATUS) SetContentId(ULONG ContentId, PCDRMRIGHTS DrmRights) override;

  NTSTATUS Open(const KSDATAFORMAT* format);
  // Moves the hardware position on by `bytes`, wrapping at the buffer size.
  void Advance(ULONG bytes);
  // Capture: writes `bytes` at the position as the hardware would, then
  // advances.
  void Produce(const std::vector<BYTE>& bytes);
  void Notify();  // IPortWaveCyclic::Notify with the miniport's group
  BYTE* buffer() const { return buffer_; }
  ULONG size() const { return size_; }
  ULONG position() const { return position_; }
  KSSTATE state() const { return state_; }

 private:
  NTSTATUS Allocate(const WAVEFORMATEX& wave);
  TestWaveMiniport* miniport_;
  bool capture_;
  BYTE* buffer_ = nullptr;
  ULONG size_ = 0;
  ULONG position_ = 0;
  KSSTATE state_ = KSSTATE_STOP;
  WAVEFORMATEX wave_ = {};
};

struct MidiConfig {
  ULONG writeLimit = 0xFFFFFFFF;
};

class TestMidiMiniport : public IMiniportMidi, public CUnknown {
 public:
  TestMidiMiniport(PUNKNOWN outer, const MidiConfig& config, CallLog* log,
                   std::atomic<int>* alive);
  ~TestMidiMiniport() override;
  DECLARE_STD_UNKNOWN();
  IMP_IMiniportMidi;

  PPORTMIDI port() const { return port_; }
  PSERVICEGROUP serviceGroup() const { return group_; }
  const MidiConfig& config() const { return config_; }
  CallLog* log() const { return log_; }

 private:
  MidiConfig config_;
  CallLog* log_;
  std::atomic<int>* alive_;
  PPORTMIDI port_ = nullptr;
  PSERVICEGROUP group_ = nullptr;
  KSDATARANGE_MUSIC hostRange_;
  KSDATARANGE bridgeRange_;
  PKSDATARANGE hostRanges_[1];
  PKSDATARANGE bridgeRanges_[1];
  PCPIN_DESCRIPTOR pins_[4];
  PCCONNECTION_DESCRIPTOR connections_[2];
  PCFILTER_DESCRIPTOR filter_;
};

class TestMidiStream : public IMiniportMidiStream, public CUnknown {
 public:
  TestMidiStream(PUNKNOWN outer, TestMidiMiniport* miniport, bool capture);
  ~TestMidiStream() override;
  DECLARE_STD_UNKNOWN();
  IMP_IMiniportMidiStream;

  // Capture: bytes the hardware delivered; Notify tells the port.
  void Feed(const std::vector<BYTE>& bytes);
  void Notify();
  std::vector<BYTE> written;  // render: everything Write took
  KSSTATE state() const { return state_; }

 private:
  TestMidiMiniport* miniport_;
  bool capture_;
  KSSTATE state_ = KSSTATE_STOP;
  KSPIN_LOCK lock_;
  std::vector<BYTE> pending_;  // capture, guarded by lock_
};

// Creates, initialises and registers a subdevice the way a driver does;
// returns the port with one reference (null on failure, with *status set).
PPORT RegisterWave(PDEVICE_OBJECT device, const char16_t* name, const WaveConfig& config,
                   CallLog* log, std::atomic<int>* alive, NTSTATUS* status,
                   TestWaveMiniport** miniport = nullptr);
PPORT RegisterMidi(PDEVICE_OBJECT device, const char16_t* name, const MidiConfig& config,
                   CallLog* log, std::atomic<int>* alive, NTSTATUS* status,
                   TestMidiMiniport** miniport = nullptr);
NTSTATUS Unregister(PDEVICE_OBJECT device, PPORT port);

}  // namespace tests
