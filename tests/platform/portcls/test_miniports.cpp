#include "tests/platform/portcls/test_miniports.h"

#include <algorithm>
#include <cstring>

namespace tests {

bool CallLog::Contains(const std::string& call) const {
  return std::find(calls.begin(), calls.end(), call) != calls.end();
}

std::string CallLog::Joined() const {
  std::string all;
  for (const std::string& call : calls) all += (all.empty() ? "" : ", ") + call;
  return all;
}

namespace {

KSDATARANGE BridgeRange(const GUID& major, const GUID& sub) {
  KSDATARANGE range = {};
  range.FormatSize = sizeof(KSDATARANGE);
  range.MajorFormat = major;
  range.SubFormat = sub;
  range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  return range;
}

KSDATARANGE gAnalogBridge = BridgeRange(KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG);
PKSDATARANGE gAnalogBridgeRanges[] = {&gAnalogBridge};

PCPIN_DESCRIPTOR Pin(ULONG instances, KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication,
                     const GUID* category, ULONG rangeCount, const PKSDATARANGE* ranges) {
  PCPIN_DESCRIPTOR pin = {};
  pin.MaxGlobalInstanceCount = instances;
  pin.MaxFilterInstanceCount = instances;
  pin.KsPinDescriptor.DataRangesCount = rangeCount;
  pin.KsPinDescriptor.DataRanges = ranges;
  pin.KsPinDescriptor.DataFlow = flow;
  pin.KsPinDescriptor.Communication = communication;
  pin.KsPinDescriptor.Category = category;
  return pin;
}

const PCNODE_DESCRIPTOR kWaveNodes[] = {
    {0, nullptr, &KSNODETYPE_DAC, nullptr},
    {0, nullptr, &KSNODETYPE_ADC, nullptr},
};
const PCCONNECTION_DESCRIPTOR kWaveConnections[] = {
    {PCFILTER_NODE, 1, 0, 1},
    {0, 0, PCFILTER_NODE, 0},
    {PCFILTER_NODE, 3, 1, 1},
    {1, 0, PCFILTER_NODE, 2},
};

bool IsWaveFormat(const KSDATAFORMAT* format) {
  return format->FormatSize >= KSDATAFORMAT_WAVEFORMATEX_SIZE &&
         IsEqualGUID(format->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
         IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
}

const WAVEFORMATEX& WaveOf(const KSDATAFORMAT* format) {
  return reinterpret_cast<const KSDATAFORMAT_WAVEFORMATEX*>(format)->WaveFormatEx;
}

}  // namespace

// ---------------------------------------------------------------------------
// Wave miniport

const PCPROPERTY_ITEM kWaveFilterProperties[] = {
    {&KSPROPSETID_Pin, KSPROPERTY_PIN_PROPOSEDATAFORMAT,
     PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, nullptr},
};

TestWaveMiniport::TestWaveMiniport(PUNKNOWN outer, const WaveConfig& config, CallLog* log,
                                   std::atomic<int>* alive)
    : CUnknown(outer), config_(config), log_(log), alive_(alive) {
  ++*alive_;
  for (int i = 0; i < 2; ++i) {
    KSDATARANGE_AUDIO& range = ranges_[i];
    range = {};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = config.maxChannels;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = 32;
    range.MinimumSampleFrequency = config.rate;
    range.MaximumSampleFrequency = config.rate;
    rangePointers_[i] = &range.DataRange;
  }
  pins_[0] = Pin(0, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_LINE_CONNECTOR, 1,
                 gAnalogBridgeRanges);
  pins_[1] = Pin(1, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, 1,
                 &rangePointers_[0]);
  pins_[2] = Pin(1, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, 1,
                 &rangePointers_[1]);
  pins_[3] = Pin(0, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSNODETYPE_LINE_CONNECTOR, 1,
                 gAnalogBridgeRanges);
  static PCPROPERTY_ITEM properties[1];
  properties[0] = kWaveFilterProperties[0];
  properties[0].Handler = ProposeFormatHandler;
  static const PCAUTOMATION_TABLE automation = {
      sizeof(PCPROPERTY_ITEM), 1, properties, 0, 0, nullptr, 0, 0, nullptr, 0};
  filter_ = {};
  filter_.AutomationTable = &automation;
  filter_.PinSize = sizeof(PCPIN_DESCRIPTOR);
  filter_.PinCount = 4;
  filter_.Pins = pins_;
  filter_.NodeSize = sizeof(PCNODE_DESCRIPTOR);
  filter_.NodeCount = 2;
  filter_.Nodes = kWaveNodes;
  filter_.ConnectionCount = 4;
  filter_.Connections = kWaveConnections;
}

TestWaveMiniport::~TestWaveMiniport() {
  if (group_) group_->Release();
  if (port_) port_->Release();
  log_->Add("~miniport");
  --*alive_;
}

STDMETHODIMP_(NTSTATUS) TestWaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
      IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
    *object = static_cast<IMiniportWaveCyclic*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) TestWaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  log_->Add("GetDescription");
  *description = &filter_;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestWaveMiniport::DataRangeIntersection(
    ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange, ULONG OutputBufferLength,
    PVOID ResultantFormat, PULONG ResultantFormatLength) {
  log_->Add("DataRangeIntersection " + std::to_string(PinId));
  if (!config_.ownIntersection) return STATUS_NOT_IMPLEMENTED;
  if (OutputBufferLength == 0) {
    *ResultantFormatLength = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (OutputBufferLength < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE))
    return STATUS_BUFFER_TOO_SMALL;
  if (DataRange->FormatSize < sizeof(KSDATARANGE_AUDIO)) return STATUS_NO_MATCH;
  auto* client = reinterpret_cast<PKSDATARANGE_AUDIO>(DataRange);
  if (client->MinimumSampleFrequency > config_.rate || client->MaximumSampleFrequency < config_.rate)
    return STATUS_NO_MATCH;
  KSDATAFORMAT_WAVEFORMATEXTENSIBLE format = {};
  std::memcpy(&format.DataFormat, MatchingDataRange, sizeof(KSDATAFORMAT));
  format.DataFormat.FormatSize = sizeof(format);
  WAVEFORMATEXTENSIBLE& wave = format.WaveFormatExt;
  wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
  wave.Format.nChannels = 2;
  wave.Format.nSamplesPerSec = config_.rate;
  wave.Format.wBitsPerSample = 32;
  wave.Format.nBlockAlign = 8;
  wave.Format.nAvgBytesPerSec = 8 * config_.rate;
  wave.Format.cbSize = 22;
  wave.Samples.wValidBitsPerSample = 24;
  wave.dwChannelMask = KSAUDIO_SPEAKER_STEREO;
  wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  std::memcpy(ResultantFormat, &format, sizeof(format));
  *ResultantFormatLength = sizeof(format);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestWaveMiniport::Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList,
                                               PPORTWAVECYCLIC Port) {
  log_->Add("Init");
  port_ = Port;
  port_->AddRef();
  if (!NT_SUCCESS(config_.initStatus)) return config_.initStatus;
  return PcNewServiceGroup(&group_, nullptr);
}

STDMETHODIMP_(NTSTATUS) TestWaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* Stream,
                                                    PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                                                    ULONG Pin, BOOLEAN Capture,
                                                    PKSDATAFORMAT DataFormat,
                                                    PDMACHANNEL* DmaChannel,
                                                    PSERVICEGROUP* ServiceGroup) {
  log_->Add("NewStream " + std::to_string(Pin));
  *Stream = nullptr;
  *DmaChannel = nullptr;
  *ServiceGroup = nullptr;
  if ((Pin == 1 && Capture) || (Pin == 2 && !Capture) || (Pin != 1 && Pin != 2))
    return STATUS_INVALID_PARAMETER;
  auto* stream = new (NonPagedPoolNx, kTestTag) TestWaveStream(OuterUnknown, this, Capture);
  if (!stream) return STATUS_INSUFFICIENT_RESOURCES;
  stream->AddRef();
  NTSTATUS status = stream->Open(DataFormat);
  if (NT_SUCCESS(status)) {
    *Stream = stream;
    stream->QueryInterface(IID_IDmaChannel, reinterpret_cast<PVOID*>(DmaChannel));
    *ServiceGroup = group_;
    group_->AddRef();
  } else {
    stream->Release();
  }
  return status;
}

NTSTATUS TestWaveMiniport::ProposeFormatHandler(PPCPROPERTY_REQUEST request) {
  auto* self = static_cast<TestWaveMiniport*>(
      static_cast<IMiniportWaveCyclic*>(request->MajorTarget));
  self->lastMajorTarget = request->MajorTarget;
  if (request->InstanceSize >= sizeof(ULONG))
    self->lastPropertyPin = *static_cast<ULONG*>(request->Instance);
  if (request->Verb & KSPROPERTY_TYPE_BASICSUPPORT) {
    if (request->ValueSize < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    *static_cast<ULONG*>(request->Value) = KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
    request->ValueSize = sizeof(ULONG);
    return STATUS_SUCCESS;
  }
  if (!(request->Verb & KSPROPERTY_TYPE_SET)) return STATUS_INVALID_PARAMETER;
  if (request->ValueSize == 0) {
    request->ValueSize = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (request->ValueSize < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)) return STATUS_BUFFER_TOO_SMALL;
  auto* format = static_cast<PKSDATAFORMAT_WAVEFORMATEXTENSIBLE>(request->Value);
  return format->WaveFormatExt.Format.nSamplesPerSec == self->config_.rate ? STATUS_SUCCESS
                                                                           : STATUS_NO_MATCH;
}

// ---------------------------------------------------------------------------
// Wave stream

TestWaveStream::TestWaveStream(PUNKNOWN outer, TestWaveMiniport* miniport, bool capture)
    : CUnknown(outer), miniport_(miniport), capture_(capture) {
  miniport_->AddRef();
}

TestWaveStream::~TestWaveStream() {
  if (buffer_) ExFreePoolWithTag(buffer_, kTestTag);
  miniport_->log()->Add("~stream");
  miniport_->Release();
}

STDMETHODIMP_(NTSTATUS) TestWaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportWaveCyclicStream))
    *object = static_cast<IMiniportWaveCyclicStream*>(this);
  else if (IsEqualGUID(iid, IID_IDmaChannel))
    *object = static_cast<IDmaChannel*>(this);
  else if (IsEqualGUID(iid, IID_IDrmAudioStream))
    *object = static_cast<IDrmAudioStream*>(this);
  else {
    *object = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

NTSTATUS TestWaveStream::Allocate(const WAVEFORMATEX& wave) {
  const WaveConfig& config = miniport_->config();
  if (wave.nChannels != 2 || wave.nSamplesPerSec != config.rate ||
      (wave.wBitsPerSample != 16 && wave.wBitsPerSample != 24 && wave.wBitsPerSample != 32) ||
      wave.nBlockAlign != wave.nChannels * wave.wBitsPerSample / 8)
    return STATUS_INVALID_PARAMETER;
  ULONG size = wave.nSamplesPerSec * wave.nBlockAlign * config.bufferMs / 1000;
  auto* buffer = static_cast<BYTE*>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kTestTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  if (buffer_) ExFreePoolWithTag(buffer_, kTestTag);
  buffer_ = buffer;
  size_ = size;
  position_ = 0;
  wave_ = wave;
  return STATUS_SUCCESS;
}

NTSTATUS TestWaveStream::Open(const KSDATAFORMAT* format) {
  if (!IsWaveFormat(format)) return STATUS_INVALID_PARAMETER;
  return Allocate(WaveOf(format));
}

STDMETHODIMP_(NTSTATUS) TestWaveStream::SetFormat(PKSDATAFORMAT DataFormat) {
  miniport_->log()->Add("SetFormat");
  if (state_ != KSSTATE_STOP || !IsWaveFormat(DataFormat)) return STATUS_INVALID_DEVICE_REQUEST;
  return NT_SUCCESS(Allocate(WaveOf(DataFormat))) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
}

STDMETHODIMP_(ULONG) TestWaveStream::SetNotificationFreq(ULONG Interval, PULONG FramingSize) {
  miniport_->log()->Add("SetNotificationFreq " + std::to_string(Interval));
  *FramingSize = wave_.nSamplesPerSec / 100 * wave_.nBlockAlign;
  return Interval;
}

STDMETHODIMP_(NTSTATUS) TestWaveStream::SetState(KSSTATE State) {
  miniport_->log()->Add("SetState " + std::to_string(State));
  if (State == KSSTATE_RUN && state_ != KSSTATE_RUN) position_ = 0;
  state_ = State;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestWaveStream::GetPosition(PULONG Position) {
  *Position = position_;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestWaveStream::NormalizePhysicalPosition(PLONGLONG PhysicalPosition) {
  *PhysicalPosition = *PhysicalPosition * 10'000'000 / wave_.nAvgBytesPerSec;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) TestWaveStream::Silence(PVOID Buffer, ULONG ByteCount) {
  std::memset(Buffer, 0, ByteCount);
}

STDMETHODIMP_(NTSTATUS) TestWaveStream::SetContentId(ULONG, PCDRMRIGHTS) { return STATUS_SUCCESS; }

STDMETHODIMP_(NTSTATUS) TestWaveStream::AllocateBuffer(ULONG, PPHYSICAL_ADDRESS) {
  return STATUS_SUCCESS;
}
STDMETHODIMP_(void) TestWaveStream::FreeBuffer() {}
STDMETHODIMP_(ULONG) TestWaveStream::TransferCount() { return size_; }
STDMETHODIMP_(ULONG) TestWaveStream::MaximumBufferSize() { return size_; }
STDMETHODIMP_(ULONG) TestWaveStream::AllocatedBufferSize() { return size_; }
STDMETHODIMP_(ULONG) TestWaveStream::BufferSize() { return size_; }
STDMETHODIMP_(void) TestWaveStream::SetBufferSize(ULONG) {}
STDMETHODIMP_(PVOID) TestWaveStream::SystemAddress() { return buffer_; }
STDMETHODIMP_(PHYSICAL_ADDRESS) TestWaveStream::PhysicalAddress() {
  PHYSICAL_ADDRESS address;
  address.QuadPart = reinterpret_cast<LONGLONG>(buffer_);
  return address;
}
STDMETHODIMP_(PADAPTER_OBJECT) TestWaveStream::GetAdapterObject() { return nullptr; }
STDMETHODIMP_(void) TestWaveStream::CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) {
  std::memcpy(Destination, Source, ByteCount);
}
STDMETHODIMP_(void) TestWaveStream::CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) {
  std::memcpy(Destination, Source, ByteCount);
}

void TestWaveStream::Advance(ULONG bytes) { position_ = (position_ + bytes) % size_; }

void TestWaveStream::Produce(const std::vector<BYTE>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) buffer_[(position_ + i) % size_] = bytes[i];
  Advance(static_cast<ULONG>(bytes.size()));
}

void TestWaveStream::Notify() {
  miniport_->port()->Notify(miniport_->serviceGroup());
  KeFlushQueuedDpcs();
}

// ---------------------------------------------------------------------------
// MIDI miniport

TestMidiMiniport::TestMidiMiniport(PUNKNOWN outer, const MidiConfig& config, CallLog* log,
                                   std::atomic<int>* alive)
    : CUnknown(outer), config_(config), log_(log), alive_(alive) {
  ++*alive_;
  hostRange_ = {};
  hostRange_.DataRange.FormatSize = sizeof(KSDATARANGE_MUSIC);
  hostRange_.DataRange.MajorFormat = KSDATAFORMAT_TYPE_MUSIC;
  hostRange_.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_MIDI;
  hostRange_.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  hostRange_.Technology = KSMUSIC_TECHNOLOGY_PORT;
  hostRange_.ChannelMask = 0xFFFF;
  bridgeRange_ = BridgeRange(KSDATAFORMAT_TYPE_MUSIC, KSDATAFORMAT_SUBTYPE_MIDI_BUS);
  hostRanges_[0] = &hostRange_.DataRange;
  bridgeRanges_[0] = &bridgeRange_;
  pins_[0] = Pin(0xFFFFFFFF, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, 1,
                 hostRanges_);
  pins_[1] = Pin(0, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, 1,
                 bridgeRanges_);
  pins_[2] = Pin(0xFFFFFFFF, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, &KSCATEGORY_AUDIO, 1,
                 hostRanges_);
  pins_[3] = Pin(0, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, &KSCATEGORY_AUDIO, 1,
                 bridgeRanges_);
  connections_[0] = {PCFILTER_NODE, 0, PCFILTER_NODE, 1};
  connections_[1] = {PCFILTER_NODE, 3, PCFILTER_NODE, 2};
  filter_ = {};
  filter_.PinSize = sizeof(PCPIN_DESCRIPTOR);
  filter_.PinCount = 4;
  filter_.Pins = pins_;
  filter_.ConnectionCount = 2;
  filter_.Connections = connections_;
}

TestMidiMiniport::~TestMidiMiniport() {
  if (group_) group_->Release();
  if (port_) port_->Release();
  log_->Add("~miniport");
  --*alive_;
}

STDMETHODIMP_(NTSTATUS) TestMidiMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) ||
      IsEqualGUID(iid, IID_IMiniportMidi)) {
    *object = static_cast<IMiniportMidi*>(this);
    AddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) TestMidiMiniport::GetDescription(PPCFILTER_DESCRIPTOR* description) {
  *description = &filter_;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestMidiMiniport::DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE,
                                                                ULONG, PVOID, PULONG) {
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) TestMidiMiniport::Init(PUNKNOWN, PRESOURCELIST, PPORTMIDI Port,
                                               PSERVICEGROUP* ServiceGroup) {
  log_->Add("Init");
  port_ = Port;
  port_->AddRef();
  NTSTATUS status = PcNewServiceGroup(&group_, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *ServiceGroup = group_;
  group_->AddRef();
  port_->RegisterServiceGroup(group_);
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) TestMidiMiniport::Service() {}

STDMETHODIMP_(NTSTATUS) TestMidiMiniport::NewStream(PMINIPORTMIDISTREAM* Stream,
                                                    PUNKNOWN OuterUnknown, POOL_TYPE, ULONG Pin,
                                                    BOOLEAN Capture, PKSDATAFORMAT,
                                                    PSERVICEGROUP* ServiceGroup) {
  log_->Add("NewStream " + std::to_string(Pin));
  *Stream = nullptr;
  *ServiceGroup = nullptr;
  auto* stream = new (NonPagedPoolNx, kTestTag) TestMidiStream(OuterUnknown, this, Capture);
  if (!stream) return STATUS_INSUFFICIENT_RESOURCES;
  stream->AddRef();
  *Stream = stream;
  if (Capture) {
    *ServiceGroup = group_;
    group_->AddRef();
  }
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// MIDI stream

TestMidiStream::TestMidiStream(PUNKNOWN outer, TestMidiMiniport* miniport, bool capture)
    : CUnknown(outer), miniport_(miniport), capture_(capture) {
  miniport_->AddRef();
  KeInitializeSpinLock(&lock_);
}

TestMidiStream::~TestMidiStream() {
  miniport_->log()->Add("~stream");
  miniport_->Release();
}

STDMETHODIMP_(NTSTATUS) TestMidiStream::NonDelegatingQueryInterface(REFIID iid, PVOID* object) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniportMidiStream)) {
    *object = static_cast<IMiniportMidiStream*>(this);
    NonDelegatingAddRef();
    return STATUS_SUCCESS;
  }
  *object = nullptr;
  return STATUS_INVALID_PARAMETER;
}

STDMETHODIMP_(NTSTATUS) TestMidiStream::SetFormat(PKSDATAFORMAT) { return STATUS_SUCCESS; }

STDMETHODIMP_(NTSTATUS) TestMidiStream::SetState(KSSTATE State) {
  miniport_->log()->Add("SetState " + std::to_string(State));
  state_ = State;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestMidiStream::Read(PVOID BufferAddress, ULONG BufferLength,
                                             PULONG BytesRead) {
  if (!capture_) return STATUS_UNSUCCESSFUL;
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  ULONG n = std::min<ULONG>(BufferLength, static_cast<ULONG>(pending_.size()));
  if (n) std::memcpy(BufferAddress, pending_.data(), n);
  pending_.erase(pending_.begin(), pending_.begin() + n);
  KeReleaseSpinLock(&lock_, irql);
  *BytesRead = n;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) TestMidiStream::Write(PVOID BufferAddress, ULONG BytesToWrite,
                                              PULONG BytesWritten) {
  if (capture_) return STATUS_UNSUCCESSFUL;
  ULONG n = std::min(BytesToWrite, miniport_->config().writeLimit);
  auto* bytes = static_cast<BYTE*>(BufferAddress);
  written.insert(written.end(), bytes, bytes + n);
  *BytesWritten = n;
  return STATUS_SUCCESS;
}

void TestMidiStream::Feed(const std::vector<BYTE>& bytes) {
  KIRQL irql;
  KeAcquireSpinLock(&lock_, &irql);
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  KeReleaseSpinLock(&lock_, irql);
}

void TestMidiStream::Notify() {
  miniport_->port()->Notify(miniport_->serviceGroup());
  KeFlushQueuedDpcs();
}

// ---------------------------------------------------------------------------
// Registration, as a driver does it

namespace {

template <typename Miniport, typename Config>
PPORT Register(REFCLSID portClass, PDEVICE_OBJECT device, const char16_t* name,
               const Config& config, CallLog* log, std::atomic<int>* alive, NTSTATUS* status,
               Miniport** miniportOut) {
  PPORT port = nullptr;
  *status = PcNewPort(&port, portClass);
  if (!NT_SUCCESS(*status)) return nullptr;
  auto* miniport = new (NonPagedPoolNx, kTestTag) Miniport(nullptr, config, log, alive);
  if (!miniport) {
    port->Release();
    *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  miniport->AddRef();
  *status = port->Init(device, nullptr, static_cast<PUNKNOWN>(static_cast<IMiniport*>(miniport)),
                       nullptr, nullptr);
  if (NT_SUCCESS(*status)) *status = PcRegisterSubdevice(device, const_cast<PWSTR>(name), port);
  if (miniportOut) *miniportOut = NT_SUCCESS(*status) ? miniport : nullptr;
  miniport->Release();
  if (!NT_SUCCESS(*status)) {
    port->Release();
    return nullptr;
  }
  return port;
}

}  // namespace

PPORT RegisterWave(PDEVICE_OBJECT device, const char16_t* name, const WaveConfig& config,
                   CallLog* log, std::atomic<int>* alive, NTSTATUS* status,
                   TestWaveMiniport** miniport) {
  return Register<TestWaveMiniport>(CLSID_PortWaveCyclic, device, name, config, log, alive, status,
                                    miniport);
}

PPORT RegisterMidi(PDEVICE_OBJECT device, const char16_t* name, const MidiConfig& config,
                   CallLog* log, std::atomic<int>* alive, NTSTATUS* status,
                   TestMidiMiniport** miniport) {
  return Register<TestMidiMiniport>(CLSID_PortMidi, device, name, config, log, alive, status,
                                    miniport);
}

NTSTATUS Unregister(PDEVICE_OBJECT device, PPORT port) {
  PUNREGISTERSUBDEVICE unregister = nullptr;
  NTSTATUS status =
      port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
  if (!NT_SUCCESS(status)) return status;
  status = unregister->UnregisterSubdevice(device, port);
  unregister->Release();
  return status;
}

}  // namespace tests
