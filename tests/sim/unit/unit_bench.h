// Drives a TarvikUnit the way a host controller does: setup packets on the
// control pipe, then one IN and one OUT packet per microframe.
#pragma once

#include <cstring>
#include <functional>
#include <span>
#include <vector>

#include "sim/unit/tarvik_unit.h"

namespace sim::unit::harness {

inline USB_DEFAULT_PIPE_SETUP_PACKET MakeSetup(uint8_t requestType, uint8_t request, uint16_t value,
                                           uint16_t index, uint16_t length = 0) {
  return {requestType, request, value, index, length};
}

class UnitBench {
 public:
  explicit UnitBench(UnitConfig config = {}) : unit(std::move(config)) {
    unit.BeginMicroframe(microframe);
  }

  ControlOutcome SetConfiguration(uint16_t value) {
    return unit.Control(MakeSetup(0x00, USB_REQUEST_SET_CONFIGURATION, value, 0), {});
  }
  ControlOutcome SetInterface(uint16_t interface, uint16_t alternate) {
    return unit.Control(MakeSetup(0x01, USB_REQUEST_SET_INTERFACE, alternate, interface), {});
  }
  std::vector<uint8_t> GetDescriptor(uint8_t type, uint8_t index, uint16_t length) {
    std::vector<uint8_t> data(length);
    auto outcome =
        unit.Control(MakeSetup(0x80, USB_REQUEST_GET_DESCRIPTOR, type << 8 | index, 0, length), data);
    data.resize(outcome.stalled ? 0 : outcome.length);
    return data;
  }

  void StartStreaming() {
    SetConfiguration(1);
    SetInterface(kAudioOutInterface, 1);
    SetInterface(kAudioInInterface, 1);
  }

  void NextMicroframe() { unit.BeginMicroframe(++microframe); }

  // The IN packet of the current microframe as frames of kInChannels floats.
  std::vector<float> ReadIn() {
    std::vector<uint8_t> buffer(kIsoInMaxPacket);
    Transfer transfer = unit.IsoIn(kIsoInEndpoint, buffer);
    std::vector<float> samples(transfer.length / sizeof(float));
    std::memcpy(samples.data(), buffer.data(), transfer.length);
    return samples;
  }

  EndpointStatus WriteOut(const std::vector<float>& samples) {
    return unit.IsoOut(kIsoOutEndpoint, std::span(reinterpret_cast<const uint8_t*>(samples.data()),
                                                  samples.size() * sizeof(float)));
  }

  // One microframe with implicit feedback: read the IN packet, answer with
  // as many OUT frames, output frame n (counted from the first) carrying
  // render(n, channel). Returns the IN samples.
  std::vector<float> Loop(const std::function<float(uint64_t frame, unsigned channel)>& render) {
    std::vector<float> in = ReadIn();
    const size_t frames = in.size() / kInChannels;
    std::vector<float> out;
    for (size_t i = 0; i < frames; ++i, ++outFrames)
      for (unsigned channel = 0; channel < kOutChannels; ++channel)
        out.push_back(render(outFrames, channel));
    WriteOut(out);
    NextMicroframe();
    return in;
  }

  TarvikUnit unit;
  uint64_t microframe = 123'456;  // wherever the bus happens to be
  uint64_t outFrames = 0;
};

}  // namespace sim::unit::harness
