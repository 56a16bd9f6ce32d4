// What the unit's converters see: a source per input channel and the analog
// side of the four outputs, which a loopback patches back into an input
// through the DAC and ADC delays.
//
// Time is the crystal's frame count ("tick"); the unit feeds the DAC one
// frame per tick in order and captures ticks in order.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "sim/unit/descriptors.h"

namespace sim::unit {

struct Silence {};
struct Sine {
  double frequency = 1000.0;  // Hz
  double level = 0.5;         // peak, full scale 1.0
  double phase = 0.0;         // radians at tick 0
};
// Uniform white noise in [-level, level]; the same seed gives the same
// samples at the same ticks.
struct WhiteNoise {
  uint64_t seed = 1;
  double level = 0.5;
};
// A 48 kHz file, played from the first tick captured after patching.
struct WavSource {
  std::string path;
  unsigned channel = 0;
  bool loop = false;
};
// An output channel fed back through the converters.
struct Loopback {
  unsigned outputChannel = 0;
};

using InputSource = std::variant<Silence, Sine, WhiteNoise, WavSource, Loopback>;

inline constexpr unsigned kDefaultDacDelay = 48;
inline constexpr unsigned kDefaultAdcDelay = 49;

class PatchBay {
 public:
  PatchBay(unsigned dacDelay, unsigned adcDelay);

  // Loads a WAV source at once; throws std::runtime_error when it cannot be
  // read or is not 48 kHz, std::out_of_range for a bad channel.
  void Patch(unsigned inputChannel, const InputSource& source);

  // The DAC plays `frame` (kOutChannels samples) at `tick`; ticks come in
  // order without gaps.
  void Play(uint64_t tick, const float* frame);
  uint64_t playedUntil() const { return playedUntil_; }

  // Writes `frames` interleaved kInChannels frames for ticks from `firstTick`.
  void Capture(uint64_t firstTick, uint32_t frames, float* out);

  unsigned loopbackDelay() const { return dacDelay_ + adcDelay_; }

 private:
  struct Input {
    InputSource source = Silence{};
    std::vector<float> wav;  // samples of a WavSource
    bool wavStarted = false;
    uint64_t wavStartTick = 0;
  };

  float Sample(Input& input, uint64_t tick) const;
  float Played(unsigned outputChannel, uint64_t tick) const;

  // Ticks of DAC history kept; far more than any converter delay.
  static constexpr uint64_t kHistory = 1 << 14;

  unsigned dacDelay_;
  unsigned adcDelay_;
  std::array<Input, kInChannels> inputs_;
  std::vector<std::array<float, kOutChannels>> played_;  // ring indexed by tick
  uint64_t playedUntil_ = 0;                             // first tick not yet played
};

}  // namespace sim::unit
