// The KS client side: what the Windows audio engine and MIDI applications do
// with a registered port-class subdevice. Tools and tests use it the way
// applications use Windows audio: list subdevices, open a filter, read its
// pins, ranges, nodes and connections, intersect a range, send a filter
// property, then create wave or MIDI pins, run them and move bytes.
//
// Calls come from a simulated thread of the machine at PASSIVE_LEVEL. A
// filter stays usable while any pin created on it is open.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <portcls.h>

namespace sim {

class Machine;

namespace portcls {
class PortBase;
class WavePin;
class MidiPin;
}  // namespace portcls

enum class KsSubdeviceKind { WaveCyclic, Midi };

struct KsSubdevice {
  PDEVICE_OBJECT device;
  std::u16string name;
  std::string nameUtf8;
  KsSubdeviceKind kind;
};

// Registered subdevices, in registration order.
std::vector<KsSubdevice> KsListSubdevices(Machine& machine);

// Port-class objects (ports, service groups, pins, adapter records) alive on
// the machine, and a line per object naming its kind and count.
size_t PortClassLiveObjects(Machine& machine);
std::vector<std::string> PortClassLiveObjectList(Machine& machine);

// A data range or format as bytes (FormatSize of them).
struct KsDataRange {
  std::vector<uint8_t> bytes;
  const KSDATARANGE& range() const { return *reinterpret_cast<const KSDATARANGE*>(bytes.data()); }
  // Null unless the range is at least as long as the record.
  const KSDATARANGE_AUDIO* audio() const;
  const KSDATARANGE_MUSIC* music() const;
};

struct KsPinInfo {
  ULONG id = 0;
  KSPIN_DATAFLOW dataFlow = KSPIN_DATAFLOW_IN;
  KSPIN_COMMUNICATION communication = KSPIN_COMMUNICATION_NONE;
  ULONG maxGlobalInstances = 0;
  ULONG maxFilterInstances = 0;
  ULONG minFilterInstances = 0;
  std::optional<GUID> category;
  std::optional<GUID> name;
  std::vector<KsDataRange> dataRanges;
  bool hasAutomation = false;
};

struct KsNodeInfo {
  GUID type;
  std::optional<GUID> name;
};

namespace detail {
struct FilterHandle;
}

class KsFilter {
 public:
  // Opens the subdevice `name` on `device` (any device when null).
  static NTSTATUS Open(Machine& machine, std::u16string_view name,
                       std::unique_ptr<KsFilter>* filter, PDEVICE_OBJECT device = nullptr);
  ~KsFilter();
  KsFilter(const KsFilter&) = delete;
  KsFilter& operator=(const KsFilter&) = delete;

  const std::u16string& name() const;
  KsSubdeviceKind kind() const;
  ULONG pinCount() const;
  KsPinInfo pin(ULONG pinId) const;
  std::vector<KsPinInfo> pins() const;
  std::vector<KsNodeInfo> nodes() const;
  std::vector<PCCONNECTION_DESCRIPTOR> connections() const;
  ULONG categoryCount() const;

  // One intersection call as KS makes it (outputLength 0 asks for the size).
  NTSTATUS IntersectRaw(ULONG pinId, const void* clientRange, ULONG outputLength, void* result,
                        ULONG* resultLength) const;
  // Asks for the size, then for the format.
  NTSTATUS Intersect(ULONG pinId, const void* clientRange, std::vector<uint8_t>* format) const;

  // A property of the filter's automation table; `valueSize` in: the value
  // buffer's size, out: the bytes the handler reported.
  NTSTATUS Property(const KSPROPERTY& property, void* instance, ULONG instanceSize, void* value,
                    ULONG* valueSize) const;
  // A KSPROPSETID_Pin property addressed to a pin (a KSP_PIN request).
  NTSTATUS PinProperty(ULONG pinId, ULONG propertyId, ULONG verb, void* value,
                       ULONG* valueSize) const;

 private:
  friend class KsWavePin;
  friend class KsMidiPin;
  explicit KsFilter(std::shared_ptr<detail::FilterHandle> handle);
  std::shared_ptr<detail::FilterHandle> handle_;
};

struct KsWavePinOptions {
  // Client queue in bytes; 0 means four cyclic buffers.
  size_t queueBytes = 0;
};

struct KsWavePinCounters {
  uint64_t notifications = 0;
  uint64_t bytesToDevice = 0;
  uint64_t bytesPlayed = 0;
  uint64_t underruns = 0;
  uint64_t silenceBytes = 0;
  uint64_t bytesFromDevice = 0;
  uint64_t overruns = 0;
  uint64_t droppedBytes = 0;
};

class KsWavePin {
 public:
  // `format` is a KSDATAFORMAT_WAVEFORMATEX or _WAVEFORMATEXTENSIBLE.
  static NTSTATUS Create(KsFilter& filter, ULONG pinId, const void* format, ULONG formatSize,
                         std::unique_ptr<KsWavePin>* pin, KsWavePinOptions options = {});
  // Stops the pin and closes it.
  ~KsWavePin();
  KsWavePin(const KsWavePin&) = delete;
  KsWavePin& operator=(const KsWavePin&) = delete;

  // Walks STOP, ACQUIRE, PAUSE, RUN one step at a time, either way.
  NTSTATUS SetState(KSSTATE state);
  KSSTATE state() const;
  NTSTATUS SetFormat(const void* format, ULONG formatSize);

  bool capture() const;
  // Render: queue PCM bytes; returns how many fit.
  size_t Write(const void* data, size_t bytes);
  // Capture: take captured bytes; returns how many there were.
  size_t Read(void* data, size_t bytes);
  // Runs one service pass now, as a notification does.
  void Service();

  size_t queuedBytes() const;
  size_t bufferedBytes() const;
  ULONG bufferSize() const;
  ULONG framingSize() const;
  ULONG notificationInterval() const;
  const BYTE* dmaBuffer() const;
  ULONG lastPosition() const;
  KsWavePinCounters counters() const;
  // The miniport stream, for tests that look behind the port.
  PMINIPORTWAVECYCLICSTREAM stream() const;

 private:
  KsWavePin(std::shared_ptr<detail::FilterHandle> filter, ULONG pinId, portcls::WavePin* pin);
  std::shared_ptr<detail::FilterHandle> filter_;
  ULONG pinId_;
  portcls::WavePin* pin_;
};

struct KsMidiPinOptions {
  size_t queueBytes = 4096;
};

struct KsMidiPinCounters {
  uint64_t writeCalls = 0;
  uint64_t bytesWritten = 0;
  uint64_t bytesRead = 0;
  uint64_t overruns = 0;
  uint64_t droppedBytes = 0;
};

class KsMidiPin {
 public:
  static NTSTATUS Create(KsFilter& filter, ULONG pinId, const void* format, ULONG formatSize,
                         std::unique_ptr<KsMidiPin>* pin, KsMidiPinOptions options = {});
  ~KsMidiPin();
  KsMidiPin(const KsMidiPin&) = delete;
  KsMidiPin& operator=(const KsMidiPin&) = delete;

  NTSTATUS SetState(KSSTATE state);
  KSSTATE state() const;
  bool capture() const;
  size_t Write(const void* data, size_t bytes);
  size_t Write(const std::vector<uint8_t>& bytes) { return Write(bytes.data(), bytes.size()); }
  size_t Read(void* data, size_t bytes);
  std::vector<uint8_t> Read();
  // Render: bytes the stream has not taken yet; capture: bytes not yet read.
  size_t queuedBytes() const;
  KsMidiPinCounters counters() const;
  // The miniport stream, for tests that look behind the port.
  PMINIPORTMIDISTREAM stream() const;

 private:
  KsMidiPin(std::shared_ptr<detail::FilterHandle> filter, ULONG pinId, portcls::MidiPin* pin);
  std::shared_ptr<detail::FilterHandle> filter_;
  ULONG pinId_;
  portcls::MidiPin* pin_;
};

// Client formats and ranges.
std::vector<uint8_t> KsWaveFormat(ULONG rate, WORD channels, WORD bitsPerSample);
std::vector<uint8_t> KsWaveFormatExtensible(ULONG rate, WORD channels, WORD bitsPerSample,
                                            WORD validBitsPerSample, DWORD channelMask = 3);
std::vector<uint8_t> KsMidiFormat();
KSDATARANGE_AUDIO KsAudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate,
                               ULONG maxRate);

}  // namespace sim
