#include "platform/sim/ks_client.h"

#include <cstring>

#include "platform/portcls/adapter.h"
#include "platform/portcls/object_tracker.h"
#include "platform/portcls/port_midi.h"
#include "platform/portcls/port_wavecyclic.h"
#include "platform/portcls/subdevice_directory.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace sim {

using portcls::PortBase;
using portcls::PortKind;

namespace detail {

// An open filter, shared by the KsFilter and every pin created on it: one
// reference on the port, and either a file handle on the adapter's device
// (whose create and close requests passed through the driver) or, for a
// subdevice of a device that is not an adapter, an open-filter count.
struct FilterHandle {
  FilterHandle(Machine& machine, PortBase* port, std::u16string name, HANDLE file)
      : machine(machine), port(port), name(std::move(name)), file(file) {}
  ~FilterHandle() {
    if (file)
      machine.objects().Close(file, UserMode);
    else
      port->CloseFilter();
    port->unknown()->Release();
  }
  Machine& machine;
  PortBase* port;
  std::u16string name;
  HANDLE file;
};

}  // namespace detail

namespace {

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

KsSubdeviceKind KindOf(const PortBase* port) {
  return port->portKind() == PortKind::WaveCyclic ? KsSubdeviceKind::WaveCyclic
                                                  : KsSubdeviceKind::Midi;
}

KsDataRange CopyRange(const KSDATARANGE* range) {
  auto* bytes = reinterpret_cast<const uint8_t*>(range);
  return KsDataRange{std::vector<uint8_t>(bytes, bytes + range->FormatSize)};
}

}  // namespace

std::vector<KsSubdevice> KsListSubdevices(Machine& machine) {
  std::vector<KsSubdevice> list;
  for (const auto& entry : machine.service<portcls::SubdeviceDirectory>().List())
    list.push_back({entry.device, entry.name, Narrow(entry.name), KindOf(entry.port)});
  return list;
}

size_t PortClassLiveObjects(Machine& machine) {
  return machine.service<portcls::ObjectTracker>().liveCount();
}

std::vector<std::string> PortClassLiveObjectList(Machine& machine) {
  return machine.service<portcls::ObjectTracker>().Describe();
}

const KSDATARANGE_AUDIO* KsDataRange::audio() const {
  if (bytes.size() < sizeof(KSDATARANGE_AUDIO)) return nullptr;
  return reinterpret_cast<const KSDATARANGE_AUDIO*>(bytes.data());
}

const KSDATARANGE_MUSIC* KsDataRange::music() const {
  if (bytes.size() < sizeof(KSDATARANGE_MUSIC)) return nullptr;
  return reinterpret_cast<const KSDATARANGE_MUSIC*>(bytes.data());
}

// ---------------------------------------------------------------------------
// Filter

NTSTATUS KsFilter::Open(Machine& machine, std::u16string_view name,
                        std::unique_ptr<KsFilter>* filter, PDEVICE_OBJECT device) {
  filter->reset();
  PDEVICE_OBJECT found = nullptr;
  PortBase* port = machine.service<portcls::SubdeviceDirectory>().Find(name, device, &found);
  if (!port) return STATUS_OBJECT_NAME_NOT_FOUND;
  HANDLE file = nullptr;
  std::u16string path = portcls::AdapterDevicePath(found);
  NTSTATUS status = path.empty()
                        ? port->OpenFilter()
                        : IoManager::Of(machine).OpenFile(path + u"\\" + std::u16string(name),
                                                          GENERIC_READ | GENERIC_WRITE, nullptr,
                                                          &file);
  if (!NT_SUCCESS(status)) {
    port->unknown()->Release();
    return status;
  }
  auto handle =
      std::make_shared<detail::FilterHandle>(machine, port, std::u16string(name), file);
  filter->reset(new KsFilter(std::move(handle)));
  return STATUS_SUCCESS;
}

KsFilter::KsFilter(std::shared_ptr<detail::FilterHandle> handle) : handle_(std::move(handle)) {}
KsFilter::~KsFilter() = default;

const std::u16string& KsFilter::name() const { return handle_->name; }
KsSubdeviceKind KsFilter::kind() const { return KindOf(handle_->port); }
ULONG KsFilter::pinCount() const { return handle_->port->descriptor()->PinCount; }

KsPinInfo KsFilter::pin(ULONG pinId) const {
  KsPinInfo info;
  const PCPIN_DESCRIPTOR* pin = handle_->port->Pin(pinId);
  if (!pin) return info;
  const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
  info.id = pinId;
  info.dataFlow = ks.DataFlow;
  info.communication = ks.Communication;
  info.maxGlobalInstances = pin->MaxGlobalInstanceCount;
  info.maxFilterInstances = pin->MaxFilterInstanceCount;
  info.minFilterInstances = pin->MinFilterInstanceCount;
  if (ks.Category) info.category = *ks.Category;
  if (ks.Name) info.name = *ks.Name;
  for (ULONG i = 0; i < ks.DataRangesCount; ++i)
    if (ks.DataRanges[i]) info.dataRanges.push_back(CopyRange(ks.DataRanges[i]));
  info.hasAutomation = pin->AutomationTable != nullptr;
  return info;
}

std::vector<KsPinInfo> KsFilter::pins() const {
  std::vector<KsPinInfo> list;
  for (ULONG i = 0; i < pinCount(); ++i) list.push_back(pin(i));
  return list;
}

std::vector<KsNodeInfo> KsFilter::nodes() const {
  std::vector<KsNodeInfo> list;
  for (ULONG i = 0; i < handle_->port->descriptor()->NodeCount; ++i) {
    const PCNODE_DESCRIPTOR* node = handle_->port->Node(i);
    KsNodeInfo info{node->Type ? *node->Type : GUID_NULL, std::nullopt};
    if (node->Name) info.name = *node->Name;
    list.push_back(info);
  }
  return list;
}

std::vector<PCCONNECTION_DESCRIPTOR> KsFilter::connections() const {
  const PCFILTER_DESCRIPTOR* descriptor = handle_->port->descriptor();
  return std::vector<PCCONNECTION_DESCRIPTOR>(
      descriptor->Connections, descriptor->Connections + descriptor->ConnectionCount);
}

ULONG KsFilter::categoryCount() const { return handle_->port->descriptor()->CategoryCount; }

NTSTATUS KsFilter::IntersectRaw(ULONG pinId, const void* clientRange, ULONG outputLength,
                                void* result, ULONG* resultLength) const {
  return handle_->port->DataRangeIntersection(
      pinId, static_cast<const KSDATARANGE*>(clientRange), outputLength, result, resultLength);
}

NTSTATUS KsFilter::Intersect(ULONG pinId, const void* clientRange,
                             std::vector<uint8_t>* format) const {
  format->clear();
  ULONG size = 0;
  NTSTATUS status = IntersectRaw(pinId, clientRange, 0, nullptr, &size);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  std::vector<uint8_t> bytes(size);
  status = IntersectRaw(pinId, clientRange, size, bytes.data(), &size);
  if (!NT_SUCCESS(status)) return status;
  bytes.resize(std::min<size_t>(size, bytes.size()));
  *format = std::move(bytes);
  return STATUS_SUCCESS;
}

NTSTATUS KsFilter::Property(const KSPROPERTY& property, void* instance, ULONG instanceSize,
                            void* value, ULONG* valueSize) const {
  return handle_->port->FilterProperty(&property, instance, instanceSize, value, valueSize);
}

NTSTATUS KsFilter::PinProperty(ULONG pinId, ULONG propertyId, ULONG verb, void* value,
                               ULONG* valueSize) const {
  KSP_PIN request = {};
  request.Property.Set = KSPROPSETID_Pin;
  request.Property.Id = propertyId;
  request.Property.Flags = verb;
  request.PinId = pinId;
  return Property(request.Property, &request.PinId, sizeof(request) - sizeof(KSPROPERTY), value,
                  valueSize);
}

// ---------------------------------------------------------------------------
// Wave pin

NTSTATUS KsWavePin::Create(KsFilter& filter, ULONG pinId, const void* format, ULONG formatSize,
                           std::unique_ptr<KsWavePin>* pin, KsWavePinOptions options) {
  pin->reset();
  if (filter.handle_->port->portKind() != PortKind::WaveCyclic) return STATUS_INVALID_PARAMETER;
  auto* port = static_cast<portcls::PortWaveCyclic*>(filter.handle_->port);
  portcls::WavePin* created = nullptr;
  NTSTATUS status = portcls::WavePin::Create(port, pinId, static_cast<const KSDATAFORMAT*>(format),
                                             formatSize, options.queueBytes, &created);
  if (!NT_SUCCESS(status)) return status;
  pin->reset(new KsWavePin(filter.handle_, pinId, created));
  return STATUS_SUCCESS;
}

KsWavePin::KsWavePin(std::shared_ptr<detail::FilterHandle> filter, ULONG pinId,
                     portcls::WavePin* pin)
    : filter_(std::move(filter)), pinId_(pinId), pin_(pin) {}

KsWavePin::~KsWavePin() {
  pin_->Close();
  pin_->Release();
}

NTSTATUS KsWavePin::SetState(KSSTATE state) { return pin_->SetState(state); }
KSSTATE KsWavePin::state() const { return pin_->state(); }
NTSTATUS KsWavePin::SetFormat(const void* format, ULONG formatSize) {
  return pin_->SetFormat(static_cast<const KSDATAFORMAT*>(format), formatSize);
}
bool KsWavePin::capture() const { return pin_->capture(); }
size_t KsWavePin::Write(const void* data, size_t bytes) { return pin_->Write(data, bytes); }
size_t KsWavePin::Read(void* data, size_t bytes) { return pin_->Read(data, bytes); }
void KsWavePin::Service() { pin_->Service(); }
size_t KsWavePin::queuedBytes() const { return pin_->queuedBytes(); }
size_t KsWavePin::bufferedBytes() const { return pin_->bufferedBytes(); }
ULONG KsWavePin::bufferSize() const { return pin_->bufferSize(); }
ULONG KsWavePin::framingSize() const { return pin_->framingSize(); }
ULONG KsWavePin::notificationInterval() const { return pin_->notificationInterval(); }
const BYTE* KsWavePin::dmaBuffer() const { return pin_->buffer(); }
ULONG KsWavePin::lastPosition() const { return pin_->lastPosition(); }
PMINIPORTWAVECYCLICSTREAM KsWavePin::stream() const { return pin_->stream(); }

KsWavePinCounters KsWavePin::counters() const {
  portcls::WavePinCounters c = pin_->counters();
  return {c.notifications, c.bytesToDevice,   c.bytesPlayed, c.underruns,
          c.silenceBytes,  c.bytesFromDevice, c.overruns,    c.droppedBytes};
}

// ---------------------------------------------------------------------------
// MIDI pin

NTSTATUS KsMidiPin::Create(KsFilter& filter, ULONG pinId, const void* format, ULONG formatSize,
                           std::unique_ptr<KsMidiPin>* pin, KsMidiPinOptions options) {
  pin->reset();
  if (filter.handle_->port->portKind() != PortKind::Midi) return STATUS_INVALID_PARAMETER;
  auto* port = static_cast<portcls::PortMidi*>(filter.handle_->port);
  portcls::MidiPin* created = nullptr;
  NTSTATUS status = portcls::MidiPin::Create(port, pinId, static_cast<const KSDATAFORMAT*>(format),
                                             formatSize, options.queueBytes, &created);
  if (!NT_SUCCESS(status)) return status;
  pin->reset(new KsMidiPin(filter.handle_, pinId, created));
  return STATUS_SUCCESS;
}

KsMidiPin::KsMidiPin(std::shared_ptr<detail::FilterHandle> filter, ULONG pinId,
                     portcls::MidiPin* pin)
    : filter_(std::move(filter)), pinId_(pinId), pin_(pin) {}

KsMidiPin::~KsMidiPin() {
  pin_->Close();
  pin_->Release();
}

NTSTATUS KsMidiPin::SetState(KSSTATE state) { return pin_->SetState(state); }
KSSTATE KsMidiPin::state() const { return pin_->state(); }
bool KsMidiPin::capture() const { return pin_->capture(); }
size_t KsMidiPin::Write(const void* data, size_t bytes) { return pin_->Write(data, bytes); }
size_t KsMidiPin::Read(void* data, size_t bytes) { return pin_->Read(data, bytes); }
std::vector<uint8_t> KsMidiPin::Read() {
  std::vector<uint8_t> bytes(pin_->queuedBytes() + 4096);
  bytes.resize(pin_->Read(bytes.data(), bytes.size()));
  return bytes;
}
size_t KsMidiPin::queuedBytes() const { return pin_->queuedBytes(); }
PMINIPORTMIDISTREAM KsMidiPin::stream() const { return pin_->stream(); }

KsMidiPinCounters KsMidiPin::counters() const {
  portcls::MidiPinCounters c = pin_->counters();
  return {c.writeCalls, c.bytesWritten, c.bytesRead, c.overruns, c.droppedBytes};
}

// ---------------------------------------------------------------------------
// Formats

std::vector<uint8_t> KsWaveFormat(ULONG rate, WORD channels, WORD bitsPerSample) {
  KSDATAFORMAT_WAVEFORMATEX format = {};
  format.DataFormat.FormatSize = KSDATAFORMAT_WAVEFORMATEX_SIZE;
  format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEX& wave = format.WaveFormatEx;
  wave.wFormatTag = WAVE_FORMAT_PCM;
  wave.nChannels = channels;
  wave.nSamplesPerSec = rate;
  wave.wBitsPerSample = bitsPerSample;
  wave.nBlockAlign = static_cast<WORD>(channels * bitsPerSample / 8);
  wave.nAvgBytesPerSec = rate * wave.nBlockAlign;
  format.DataFormat.SampleSize = wave.nBlockAlign;
  auto* bytes = reinterpret_cast<const uint8_t*>(&format);
  return std::vector<uint8_t>(bytes, bytes + KSDATAFORMAT_WAVEFORMATEX_SIZE);
}

std::vector<uint8_t> KsWaveFormatExtensible(ULONG rate, WORD channels, WORD bitsPerSample,
                                            WORD validBitsPerSample, DWORD channelMask) {
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = {};
  format.DataFormat.FormatSize = sizeof(format);
  format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  format.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  WAVEFORMATEXTENSIBLE& wave = format.WaveFormatExt;
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = channels;
  wave.Format.nSamplesPerSec = rate;
  wave.Format.wBitsPerSample = bitsPerSample;
  wave.Format.nBlockAlign = static_cast<WORD>(channels * bitsPerSample / 8);
  wave.Format.nAvgBytesPerSec = rate * wave.Format.nBlockAlign;
  wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
  wave.Samples.wValidBitsPerSample = validBitsPerSample;
  wave.dwChannelMask = channelMask;
  wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  format.DataFormat.SampleSize = wave.Format.nBlockAlign;
  auto* bytes = reinterpret_cast<const uint8_t*>(&format);
  return std::vector<uint8_t>(bytes, bytes + sizeof(format));
}

std::vector<uint8_t> KsMidiFormat() {
  KSDATAFORMAT format = {};
  format.FormatSize = sizeof(format);
  format.MajorFormat = KSDATAFORMAT_TYPE_MUSIC;
  format.SubFormat = KSDATAFORMAT_SUBTYPE_MIDI;
  format.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  auto* bytes = reinterpret_cast<const uint8_t*>(&format);
  return std::vector<uint8_t>(bytes, bytes + sizeof(format));
}

KSDATARANGE_AUDIO KsAudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate,
                               ULONG maxRate) {
  KSDATARANGE_AUDIO range = {};
  range.DataRange.FormatSize = sizeof(range);
  range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  range.MaximumChannels = maxChannels;
  range.MinimumBitsPerSample = minBits;
  range.MaximumBitsPerSample = maxBits;
  range.MinimumSampleFrequency = minRate;
  range.MaximumSampleFrequency = maxRate;
  return range;
}

}  // namespace sim
