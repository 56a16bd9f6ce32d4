// The data of one polyphase resampler, shared by its baseline (SSE2) and its
// AVX2+FMA loops. Plain types only: the AVX2 unit is compiled with wider
// instruction flags and must not pull in any inline code shared with others.
#pragma once

#include <cstdint>

namespace polyphase {

inline constexpr uint32_t kHistoryFrames = 128;  // ring capacity, power of two
inline constexpr uint32_t kMaxChannels = 32;
inline constexpr uint32_t kMaxKernelCopy = 16001;            // M coefficients and the closing 0
inline constexpr uint32_t kMaxRowCoefficients = 2 * 16000;  // L x 2T <= 2M

struct State {
  // History: frame f of the ring is stored at f and at f + kHistoryFrames, so
  // the newest 2T frames are always one contiguous, oldest-first window.
  // Frames are Stride floats apart (the channel count rounded up to 4; the
  // padding lanes stay zero).
  float* History;
  uint32_t Newest;
  uint32_t Channels;
  uint32_t Stride;
  // Coefficient rows, one per phase, each 2T long and ordered to match the
  // window oldest-first: Rows[p * 2T + k] multiplies window frame k.
  const float* Rows;
  uint32_t TwoT;
  uint32_t PhaseCount;  // L
  uint32_t Step;        // from rate x L / to rate
  uint32_t Phase;
  bool Silent;          // c[0] == 0: every output frame is silence
};

// Output-driven (render): n output frames of Channels floats from
// consecutive input frames, consuming one input frame per phase wrap.
using RenderLoop = void (*)(State& s, const float* input, uint32_t outputFrames, float* output);

// Input-driven (capture): consume `inputFrames` input frames, produce at most
// `capacity` output frames; returns the count produced.
using CaptureLoop = uint32_t (*)(State& s, const float* input, uint32_t inputFrames, float* output,
                                 uint32_t capacity);

struct Loops {
  RenderLoop Render;
  CaptureLoop Capture;
};

// Baseline loops for a channel count; always available.
Loops SseLoops(uint32_t channels);
// AVX2+FMA loops; only call when the processor has both.
Loops Avx2Loops(uint32_t channels);

}  // namespace polyphase
