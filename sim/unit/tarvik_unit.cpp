#include "sim/unit/tarvik_unit.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim::unit {
namespace {

// The DAC holds a little over a millisecond; the host keeps it near empty by
// sending what the IN side delivered.
constexpr size_t kDacBufferFrames = 64;
constexpr uint8_t kVendorSetValueRequest = 0x02;

uint8_t Direction(const USB_DEFAULT_PIPE_SETUP_PACKET& s) { return s.bmRequestType >> 7; }
uint8_t Type(const USB_DEFAULT_PIPE_SETUP_PACKET& s) { return (s.bmRequestType >> 5) & 3; }
uint8_t Recipient(const USB_DEFAULT_PIPE_SETUP_PACKET& s) { return s.bmRequestType & 0x1F; }

constexpr ControlOutcome kStall{true, 0};
constexpr ControlOutcome kAck{false, 0};

// Device-to-host data stage: as much of `reply` as the host asked for and
// has room for.
ControlOutcome Reply(const USB_DEFAULT_PIPE_SETUP_PACKET& setup, std::span<uint8_t> data,
                     std::span<const uint8_t> reply) {
  const size_t length = std::min({reply.size(), data.size(), size_t{setup.wLength}});
  std::copy_n(reply.begin(), length, data.begin());
  return {false, length};
}

}  // namespace

TarvikUnit::TarvikUnit(UnitConfig config)
    : config_(std::move(config)),
      deviceDescriptor_(BuildDeviceDescriptor(config_.descriptors)),
      configurationDescriptor_(BuildConfigurationDescriptor(config_.descriptors)),
      crystal_(config_.crystalPpm),
      patchBay_(config_.dacDelay, config_.adcDelay),
      endpoints_{{{kIsoOutEndpoint, kAudioOutInterface},
                  {kIsoInEndpoint, kAudioInInterface},
                  {kMidiOutEndpoint, kMidiInterface},
                  {kMidiInEndpoint, kMidiInterface}}},
      captureScratch_(kMaxFramesPerPacket * kInChannels) {}

TarvikUnit::~TarvikUnit() { CloseTaps(); }

// ---- time -----------------------------------------------------------------

void TarvikUnit::EnsureStarted() {
  if (started_) return;
  started_ = true;
  origin_ = current_ = 0;
}

void TarvikUnit::BeginMicroframe(uint64_t microframe) {
  std::lock_guard guard(lock_);
  if (!started_) {
    started_ = true;
    origin_ = current_ = microframe;
    return;
  }
  if (microframe < current_) throw std::logic_error("microframes went backwards");
  while (current_ < microframe) {
    CloseMicroframe();
    ++current_;
  }
}

// The DAC plays the ticks of the closing microframe from its buffer.
void TarvikUnit::CloseMicroframe() {
  if (outRunning_ && !outPacketThisMicroframe_) {
    ++counters_.outUnderruns;
    for (auto& tap : taps_)
      if (tap) tap->CountUnderrun();
  }
  outPacketThisMicroframe_ = false;

  const uint64_t firstTick = crystal_.FramesBefore(crystalMicroframe());
  const uint32_t frames = crystal_.FramesIn(crystalMicroframe());
  static constexpr Frame kSilence{};
  for (uint32_t i = 0; i < frames; ++i) {
    if (dacBuffer_.empty()) {
      if (outRunning_) ++counters_.outStarvedFrames;
      patchBay_.Play(firstTick + i, kSilence.data());
      continue;
    }
    patchBay_.Play(firstTick + i, dacBuffer_.front().data());
    dacBuffer_.pop_front();
  }
}

// ---- endpoints ------------------------------------------------------------

TarvikUnit::Endpoint* TarvikUnit::Find(uint8_t address) {
  for (auto& endpoint : endpoints_)
    if (endpoint.address == address) return &endpoint;
  return nullptr;
}

const TarvikUnit::Endpoint* TarvikUnit::Find(uint8_t address) const {
  return const_cast<TarvikUnit*>(this)->Find(address);
}

// The audio endpoints exist only in alternate setting 1; the MIDI endpoints
// in both settings of interface 3.
bool TarvikUnit::IsActive(const Endpoint& endpoint) const {
  if (configuration_ == 0) return false;
  if (endpoint.interface == kMidiInterface) return true;
  return alternates_[endpoint.interface] == 1;
}

TarvikUnit::Endpoint* TarvikUnit::ActiveEndpoint(uint8_t address) {
  Endpoint* endpoint = Find(address);
  return endpoint != nullptr && IsActive(*endpoint) ? endpoint : nullptr;
}

EndpointStatus TarvikUnit::IsoOut(uint8_t address, std::span<const uint8_t> packet) {
  std::lock_guard guard(lock_);
  EnsureStarted();
  if (address != kIsoOutEndpoint || ActiveEndpoint(address) == nullptr)
    return EndpointStatus::NotActive;
  if (Find(address)->halted) return EndpointStatus::Stalled;

  outRunning_ = true;
  outPacketThisMicroframe_ = true;
  if (packet.size() % kOutFrameBytes != 0 || packet.size() > kIsoOutMaxPacket) {
    ++counters_.outMalformedPackets;
    return EndpointStatus::Malformed;
  }
  ++counters_.outPackets;
  const size_t frames = packet.size() / kOutFrameBytes;
  counters_.outFrames += frames;
  for (size_t i = 0; i < frames; ++i) {
    Frame frame;
    std::memcpy(frame.data(), packet.data() + i * kOutFrameBytes, kOutFrameBytes);
    for (unsigned channel = 0; channel < kOutChannels; ++channel)
      if (taps_[channel]) taps_[channel]->Record(frame[channel]);
    if (dacBuffer_.size() == kDacBufferFrames) {
      ++counters_.outOverflowFrames;
      continue;
    }
    dacBuffer_.push_back(frame);
  }
  return EndpointStatus::Ok;
}

Transfer TarvikUnit::IsoIn(uint8_t address, std::span<uint8_t> buffer) {
  std::lock_guard guard(lock_);
  EnsureStarted();
  Endpoint* endpoint = address == kIsoInEndpoint ? ActiveEndpoint(address) : nullptr;
  if (endpoint == nullptr) return {EndpointStatus::NotActive, 0};
  if (endpoint->halted) return {EndpointStatus::Stalled, 0};

  // The converters clock this microframe's frames whether or not they reach
  // the host; a lost or shortened packet loses them.
  const uint64_t firstTick = crystal_.FramesBefore(crystalMicroframe());
  uint32_t frames = crystal_.FramesIn(crystalMicroframe());
  if (endpoint->dropNext > 0) {
    --endpoint->dropNext;
    ++counters_.inDroppedPackets;
    return {EndpointStatus::NoResponse, 0};
  }
  if (endpoint->shortenNext > 0) {
    --endpoint->shortenNext;
    ++counters_.inShortenedPackets;
    frames = std::min(frames, endpoint->shortenTo);
  }
  EndpointStatus status = EndpointStatus::Ok;
  const size_t room = buffer.size() / kInFrameBytes;
  if (frames > room) {
    frames = static_cast<uint32_t>(room);
    status = EndpointStatus::Babble;
  }
  patchBay_.Capture(firstTick, frames, captureScratch_.data());
  const size_t bytes = size_t{frames} * kInFrameBytes;
  std::memcpy(buffer.data(), captureScratch_.data(), bytes);
  ++counters_.inPackets;
  counters_.inFrames += frames;
  return {status, bytes};
}

EndpointStatus TarvikUnit::BulkOut(uint8_t address, std::span<const uint8_t> data) {
  std::lock_guard guard(lock_);
  EnsureStarted();
  Endpoint* endpoint = address == kMidiOutEndpoint ? ActiveEndpoint(address) : nullptr;
  if (endpoint == nullptr) return EndpointStatus::NotActive;
  if (endpoint->halted) return EndpointStatus::Stalled;
  midi_.Receive(data, current_);
  return EndpointStatus::Ok;
}

Transfer TarvikUnit::BulkIn(uint8_t address, std::span<uint8_t> buffer) {
  std::lock_guard guard(lock_);
  EnsureStarted();
  Endpoint* endpoint = address == kMidiInEndpoint ? ActiveEndpoint(address) : nullptr;
  if (endpoint == nullptr) return {EndpointStatus::NotActive, 0};
  if (endpoint->halted) return {EndpointStatus::Stalled, 0};
  const size_t length = midi_.Send(buffer, current_);
  return {length == 0 ? EndpointStatus::Nak : EndpointStatus::Ok, length};
}

bool TarvikUnit::BulkInReady(uint8_t address) {
  std::lock_guard guard(lock_);
  EnsureStarted();
  Endpoint* endpoint = address == kMidiInEndpoint ? ActiveEndpoint(address) : nullptr;
  return endpoint != nullptr && !endpoint->halted && midi_.HasData(current_);
}

bool TarvikUnit::TakeTransferFailure(uint8_t address) {
  std::lock_guard guard(lock_);
  Endpoint* endpoint = Find(address);
  if (endpoint == nullptr || endpoint->failNext == 0) return false;
  --endpoint->failNext;
  return true;
}

bool TarvikUnit::IsHalted(uint8_t address) const {
  std::lock_guard guard(lock_);
  const Endpoint* endpoint = Find(address);
  return endpoint != nullptr && endpoint->halted;
}

uint8_t TarvikUnit::configuration() const {
  std::lock_guard guard(lock_);
  return configuration_;
}

uint8_t TarvikUnit::alternateSetting(uint8_t interface) const {
  std::lock_guard guard(lock_);
  return interface < kInterfaceCount ? alternates_[interface] : 0;
}

// ---- control pipe ---------------------------------------------------------

ControlOutcome TarvikUnit::Control(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                   std::span<uint8_t> data) {
  std::lock_guard guard(lock_);
  EnsureStarted();
  switch (Type(setup)) {
    case BMREQUEST_STANDARD:
      return Standard(setup, data);
    case BMREQUEST_VENDOR:
      return Vendor(setup);
    default:
      return kStall;  // the unit takes no class requests
  }
}

// Selecting a setting resets its endpoints: halts clear, streams restart.
void TarvikUnit::ResetInterface(uint8_t interface) {
  for (auto& endpoint : endpoints_)
    if (endpoint.interface == interface) endpoint.halted = false;
  if (interface == kAudioOutInterface) {
    outRunning_ = false;
    outPacketThisMicroframe_ = false;
    dacBuffer_.clear();
  }
}

ControlOutcome TarvikUnit::Standard(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                    std::span<uint8_t> data) {
  const bool in = Direction(setup) == BMREQUEST_DEVICE_TO_HOST;
  const uint8_t recipient = Recipient(setup);
  switch (setup.bRequest) {
    case USB_REQUEST_GET_DESCRIPTOR:
      if (!in || recipient != BMREQUEST_TO_DEVICE) return kStall;
      return GetDescriptor(setup, data);

    case USB_REQUEST_SET_ADDRESS:
      return in ? kStall : kAck;

    case USB_REQUEST_GET_CONFIGURATION: {
      if (!in) return kStall;
      const uint8_t value = configuration_;
      return Reply(setup, data, {&value, 1});
    }

    case USB_REQUEST_SET_CONFIGURATION:
      if (in || setup.wValue > 1) return kStall;
      if (setup.wValue == 1 && refuseConfiguration_) return kStall;
      configuration_ = static_cast<uint8_t>(setup.wValue);
      alternates_.fill(0);
      for (uint8_t interface = 0; interface < kInterfaceCount; ++interface)
        ResetInterface(interface);
      return kAck;

    case USB_REQUEST_GET_INTERFACE: {
      if (!in || recipient != BMREQUEST_TO_INTERFACE || configuration_ == 0 ||
          setup.wIndex >= kInterfaceCount)
        return kStall;
      const uint8_t value = alternates_[setup.wIndex];
      return Reply(setup, data, {&value, 1});
    }

    case USB_REQUEST_SET_INTERFACE: {
      if (in || recipient != BMREQUEST_TO_INTERFACE || configuration_ == 0 ||
          setup.wIndex >= kInterfaceCount)
        return kStall;
      const uint8_t interface = static_cast<uint8_t>(setup.wIndex);
      const uint16_t lastAlternate = interface == kAudioControlInterface ? 0 : 1;
      if (setup.wValue > lastAlternate) return kStall;
      alternates_[interface] = static_cast<uint8_t>(setup.wValue);
      ResetInterface(interface);
      return kAck;
    }

    case USB_REQUEST_GET_STATUS: {
      if (!in) return kStall;
      uint8_t status[2] = {0, 0};  // bus powered, no remote wakeup
      if (recipient == BMREQUEST_TO_INTERFACE) {
        if (configuration_ == 0 || setup.wIndex >= kInterfaceCount) return kStall;
      } else if (recipient == BMREQUEST_TO_ENDPOINT) {
        const uint8_t address = static_cast<uint8_t>(setup.wIndex);
        if ((address & USB_ENDPOINT_ADDRESS_MASK) != 0) {
          const Endpoint* endpoint = ActiveEndpoint(address);
          if (endpoint == nullptr) return kStall;
          status[0] = endpoint->halted ? 1 : 0;
        }
      } else if (recipient != BMREQUEST_TO_DEVICE) {
        return kStall;
      }
      return Reply(setup, data, status);
    }

    case USB_REQUEST_CLEAR_FEATURE:
    case USB_REQUEST_SET_FEATURE: {
      if (in || recipient != BMREQUEST_TO_ENDPOINT || setup.wValue != USB_FEATURE_ENDPOINT_STALL)
        return kStall;
      const uint8_t address = static_cast<uint8_t>(setup.wIndex);
      if ((address & USB_ENDPOINT_ADDRESS_MASK) == 0) return kAck;  // the control pipe
      Endpoint* endpoint = ActiveEndpoint(address);
      if (endpoint == nullptr) return kStall;
      endpoint->halted = setup.bRequest == USB_REQUEST_SET_FEATURE;
      return kAck;
    }

    default:
      return kStall;
  }
}

ControlOutcome TarvikUnit::GetDescriptor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                         std::span<uint8_t> data) const {
  const uint8_t type = setup.wValue >> 8;
  const uint8_t index = setup.wValue & 0xFF;
  switch (type) {
    case USB_DEVICE_DESCRIPTOR_TYPE:
      return Reply(setup, data, deviceDescriptor_);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
      if (index != 0) return kStall;
      return Reply(setup, data, configurationDescriptor_);
    case USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE:
      return Reply(setup, data, BuildDeviceQualifier());
    case USB_STRING_DESCRIPTOR_TYPE:
      if (index == 0) return Reply(setup, data, BuildLanguageDescriptor());
      if (index == kProductStringIndex) return Reply(setup, data, BuildStringDescriptor(u"Tarvik"));
      if (index == kSerialStringIndex)
        return Reply(setup, data, BuildStringDescriptor(config_.serialNumber));
      return kStall;
    default:
      return kStall;
  }
}

// The one vendor request: host to device, no data, recorded as it came.
ControlOutcome TarvikUnit::Vendor(const USB_DEFAULT_PIPE_SETUP_PACKET& setup) {
  if (Direction(setup) != BMREQUEST_HOST_TO_DEVICE || Recipient(setup) != BMREQUEST_TO_DEVICE ||
      setup.bRequest != kVendorSetValueRequest || setup.wLength != 0)
    return kStall;
  vendorRequests_.push_back({setup.bRequest, setup.wValue, setup.wIndex, current_});
  return kAck;
}

// ---- bench side -----------------------------------------------------------

void TarvikUnit::PatchInput(unsigned inputChannel, const InputSource& source) {
  std::lock_guard guard(lock_);
  patchBay_.Patch(inputChannel, source);
}

OutputTap& TarvikUnit::Tap(unsigned outputChannel) const {
  if (outputChannel >= kOutChannels || !taps_[outputChannel])
    throw std::out_of_range("no tap on that output channel");
  return *taps_[outputChannel];
}

void TarvikUnit::TapOutput(unsigned outputChannel) {
  std::lock_guard guard(lock_);
  if (outputChannel >= kOutChannels) throw std::out_of_range("no such output channel");
  if (taps_[outputChannel]) taps_[outputChannel]->Close();
  taps_[outputChannel] = std::make_unique<OutputTap>();
}

void TarvikUnit::TapOutputToWav(unsigned outputChannel, const std::string& path) {
  std::lock_guard guard(lock_);
  if (outputChannel >= kOutChannels) throw std::out_of_range("no such output channel");
  if (taps_[outputChannel]) taps_[outputChannel]->Close();
  taps_[outputChannel] = std::make_unique<OutputTap>(path);
}

std::vector<float> TarvikUnit::TapSamples(unsigned outputChannel) const {
  std::lock_guard guard(lock_);
  return Tap(outputChannel).samples();
}

uint64_t TarvikUnit::TapUnderruns(unsigned outputChannel) const {
  std::lock_guard guard(lock_);
  return Tap(outputChannel).underruns();
}

void TarvikUnit::CloseTaps() {
  std::lock_guard guard(lock_);
  for (auto& tap : taps_)
    if (tap) tap->Close();
}

void TarvikUnit::SetMidiQuiet() {
  std::lock_guard guard(lock_);
  midi_.SetQuiet();
}

void TarvikUnit::SetMidiEcho() {
  std::lock_guard guard(lock_);
  midi_.SetEcho();
}

void TarvikUnit::PlayMidiScript(std::vector<ScriptedMidiPacket> script) {
  std::lock_guard guard(lock_);
  midi_.PlayScript(std::move(script), current_);
}

std::vector<ReceivedMidiPacket> TarvikUnit::ReceivedMidi() const {
  std::lock_guard guard(lock_);
  return midi_.received();
}

uint64_t TarvikUnit::MalformedMidiWrites() const {
  std::lock_guard guard(lock_);
  return midi_.malformed();
}

std::vector<VendorRequest> TarvikUnit::VendorRequests() const {
  std::lock_guard guard(lock_);
  return vendorRequests_;
}

UnitCounters TarvikUnit::counters() const {
  std::lock_guard guard(lock_);
  return counters_;
}

void TarvikUnit::SetCrystalError(double ppm) {
  std::lock_guard guard(lock_);
  EnsureStarted();
  crystal_.SetError(ppm, crystalMicroframe());
}

void TarvikUnit::FailNextTransfers(uint8_t address, unsigned count) {
  std::lock_guard guard(lock_);
  Endpoint* endpoint = Find(address);
  if (endpoint == nullptr) throw std::out_of_range("no such endpoint");
  endpoint->failNext = count;
}

void TarvikUnit::Stall(uint8_t address) {
  std::lock_guard guard(lock_);
  Endpoint* endpoint = Find(address);
  if (endpoint == nullptr) throw std::out_of_range("no such endpoint");
  endpoint->halted = true;
}

void TarvikUnit::DropNextInPackets(uint8_t address, unsigned count) {
  std::lock_guard guard(lock_);
  Endpoint* endpoint = Find(address);
  if (endpoint == nullptr || USB_ENDPOINT_DIRECTION_OUT(address))
    throw std::out_of_range("no such IN endpoint");
  endpoint->dropNext = count;
}

void TarvikUnit::ShortenNextInPackets(uint8_t address, unsigned count, unsigned framesLeft) {
  std::lock_guard guard(lock_);
  Endpoint* endpoint = Find(address);
  if (endpoint == nullptr || USB_ENDPOINT_DIRECTION_OUT(address))
    throw std::out_of_range("no such IN endpoint");
  endpoint->shortenNext = count;
  endpoint->shortenTo = framesLeft;
}

void TarvikUnit::RefuseConfiguration(bool refuse) {
  std::lock_guard guard(lock_);
  refuseConfiguration_ = refuse;
}

}  // namespace sim::unit
