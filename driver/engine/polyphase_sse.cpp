// Baseline (SSE2) frame filters: four channels per register, the coefficient
// broadcast across them.
#include <emmintrin.h>

#include "driver/engine/polyphase_state.h"

namespace {

#include "driver/engine/polyphase_loops.inc"

struct Store4 {
  static void Frame(float* to, const float* frame, uint32_t) {
    _mm_store_ps(to, _mm_loadu_ps(frame));
  }
};

// Lanes 8..11 go as one 16-byte store, the padding lanes zero.
struct Store10 {
  static void Frame(float* to, const float* frame, uint32_t) {
    _mm_store_ps(to, _mm_loadu_ps(frame));
    _mm_store_ps(to + 4, _mm_loadu_ps(frame + 4));
    _mm_store_ps(to + 8, _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(frame + 8)));
  }
};

// Four channels: one register per window frame; four partial sums hide the
// add latency.
struct Frame4 : Interleaved<Store4> {
  static void Frame(const polyphase::State& s, const float* row, float* out) {
    const float* window = Window(s);
    const uint32_t twoT = s.TwoT;
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    uint32_t k = 0;
    for (; k + 4 <= twoT; k += 4, window += 16) {
      a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_set1_ps(row[k]), _mm_load_ps(window)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(_mm_set1_ps(row[k + 1]), _mm_load_ps(window + 4)));
      a2 = _mm_add_ps(a2, _mm_mul_ps(_mm_set1_ps(row[k + 2]), _mm_load_ps(window + 8)));
      a3 = _mm_add_ps(a3, _mm_mul_ps(_mm_set1_ps(row[k + 3]), _mm_load_ps(window + 12)));
    }
    for (; k < twoT; ++k, window += 4) {
      a0 = _mm_add_ps(a0, _mm_mul_ps(_mm_set1_ps(row[k]), _mm_load_ps(window)));
    }
    _mm_storeu_ps(out, _mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(a2, a3)));
  }
};

// Any channel count: groups of four lanes, frames Stride = 4 x groups apart.
struct FrameGeneric : Interleaved<ScalarStore> {
  static void Frame(const polyphase::State& s, const float* row, float* out) {
    const float* window = Window(s);
    const uint32_t twoT = s.TwoT;
    const uint32_t channels = s.Channels;
    const uint32_t groups = (channels + 3) / 4;
    __m128 acc[polyphase::kMaxChannels / 4];
    for (uint32_t g = 0; g < groups; ++g) acc[g] = _mm_setzero_ps();
    for (uint32_t k = 0; k < twoT; ++k, window += groups * 4) {
      const __m128 c = _mm_set1_ps(row[k]);
      for (uint32_t g = 0; g < groups; ++g) {
        acc[g] = _mm_add_ps(acc[g], _mm_mul_ps(c, _mm_load_ps(window + 4 * g)));
      }
    }
    alignas(16) float lanes[polyphase::kMaxChannels];
    for (uint32_t g = 0; g < groups; ++g) _mm_store_ps(lanes + 4 * g, acc[g]);
    for (uint32_t c = 0; c < channels; ++c) out[c] = lanes[c];
  }
};

// Ten channels: three registers per frame (the last two lanes are padding).
struct Frame10 : Interleaved<Store10> {
  static void Frame(const polyphase::State& s, const float* row, float* out) {
    const float* window = Window(s);
    const uint32_t twoT = s.TwoT;
    __m128 a0 = _mm_setzero_ps(), a1 = a0, a2 = a0, b0 = a0, b1 = a0, b2 = a0;
    uint32_t k = 0;
    for (; k + 2 <= twoT; k += 2, window += 24) {
      const __m128 c = _mm_set1_ps(row[k]);
      const __m128 d = _mm_set1_ps(row[k + 1]);
      a0 = _mm_add_ps(a0, _mm_mul_ps(c, _mm_load_ps(window)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(c, _mm_load_ps(window + 4)));
      a2 = _mm_add_ps(a2, _mm_mul_ps(c, _mm_load_ps(window + 8)));
      b0 = _mm_add_ps(b0, _mm_mul_ps(d, _mm_load_ps(window + 12)));
      b1 = _mm_add_ps(b1, _mm_mul_ps(d, _mm_load_ps(window + 16)));
      b2 = _mm_add_ps(b2, _mm_mul_ps(d, _mm_load_ps(window + 20)));
    }
    if (k < twoT) {
      const __m128 c = _mm_set1_ps(row[k]);
      a0 = _mm_add_ps(a0, _mm_mul_ps(c, _mm_load_ps(window)));
      a1 = _mm_add_ps(a1, _mm_mul_ps(c, _mm_load_ps(window + 4)));
      a2 = _mm_add_ps(a2, _mm_mul_ps(c, _mm_load_ps(window + 8)));
    }
    _mm_storeu_ps(out, _mm_add_ps(a0, b0));
    _mm_storeu_ps(out + 4, _mm_add_ps(a1, b1));
    _mm_storel_pi(reinterpret_cast<__m64*>(out + 8), _mm_add_ps(a2, b2));
  }
};

}  // namespace

namespace polyphase {

Loops SseLoops(uint32_t channels) {
  if (channels == 4) return LoopsOf<Frame4>();
  if (channels == 10) return LoopsOf<Frame10>();
  return LoopsOf<FrameGeneric>();
}

}  // namespace polyphase
