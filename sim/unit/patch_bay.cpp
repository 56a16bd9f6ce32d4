#include "sim/unit/patch_bay.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

#include "sim/unit/wav.h"

namespace sim::unit {
namespace {

// Counter-based generator: random access by tick, no state to advance.
uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

}  // namespace

PatchBay::PatchBay(unsigned dacDelay, unsigned adcDelay)
    : dacDelay_(dacDelay), adcDelay_(adcDelay), played_(kHistory) {
  if (dacDelay + adcDelay >= kHistory / 2) throw std::invalid_argument("converter delay too long");
}

void PatchBay::Patch(unsigned inputChannel, const InputSource& source) {
  if (inputChannel >= kInChannels) throw std::out_of_range("no such input channel");
  Input input;
  input.source = source;
  if (const auto* loopback = std::get_if<Loopback>(&source);
      loopback != nullptr && loopback->outputChannel >= kOutChannels)
    throw std::out_of_range("no such output channel");
  if (const auto* wav = std::get_if<WavSource>(&source)) {
    WavChannel channel = ReadWavChannel(wav->path, wav->channel);
    if (channel.sampleRate != static_cast<int>(kBusRate))
      throw std::runtime_error(wav->path + " is not at 48000 Hz");
    input.wav = std::move(channel.samples);
  }
  inputs_[inputChannel] = std::move(input);
}

void PatchBay::Play(uint64_t tick, const float* frame) {
  if (tick != playedUntil_) throw std::logic_error("DAC ticks out of order");
  auto& slot = played_[tick % kHistory];
  for (unsigned channel = 0; channel < kOutChannels; ++channel) slot[channel] = frame[channel];
  ++playedUntil_;
}

float PatchBay::Played(unsigned outputChannel, uint64_t tick) const {
  // Before the first frame and after the last one played the DAC is silent.
  if (tick >= playedUntil_ || playedUntil_ - tick > kHistory) return 0.0f;
  return played_[tick % kHistory][outputChannel];
}

float PatchBay::Sample(Input& input, uint64_t tick) const {
  struct Visitor {
    const PatchBay& bay;
    Input& input;
    uint64_t tick;
    float operator()(const Silence&) const { return 0.0f; }
    float operator()(const Sine& sine) const {
      const double t = static_cast<double>(tick) / kBusRate;
      return static_cast<float>(sine.level *
                                std::sin(2 * std::numbers::pi * sine.frequency * t + sine.phase));
    }
    float operator()(const WhiteNoise& noise) const {
      const uint64_t bits = SplitMix64(noise.seed ^ SplitMix64(tick));
      const double unit = static_cast<double>(bits >> 11) * 0x1.0p-53;  // [0, 1)
      return static_cast<float>(noise.level * (2.0 * unit - 1.0));
    }
    float operator()(const WavSource& wav) const {
      if (!input.wavStarted) {
        input.wavStarted = true;
        input.wavStartTick = tick;
      }
      if (input.wav.empty()) return 0.0f;
      uint64_t index = tick - input.wavStartTick;
      if (wav.loop) index %= input.wav.size();
      return index < input.wav.size() ? input.wav[index] : 0.0f;
    }
    float operator()(const Loopback& loopback) const {
      const uint64_t delay = bay.dacDelay_ + bay.adcDelay_;
      return tick < delay ? 0.0f : bay.Played(loopback.outputChannel, tick - delay);
    }
  };
  return std::visit(Visitor{*this, input, tick}, input.source);
}

void PatchBay::Capture(uint64_t firstTick, uint32_t frames, float* out) {
  for (uint32_t frame = 0; frame < frames; ++frame)
    for (unsigned channel = 0; channel < kInChannels; ++channel)
      *out++ = Sample(inputs_[channel], firstTick + frame);
}

}  // namespace sim::unit
