// AVX2+FMA frame filters, chosen at run time when the processor has both.
// This unit is compiled with -mavx2 -mfma: it includes nothing but intrinsics
// and plain types, so no shared inline code gets built with those flags.
#include <immintrin.h>

#include "driver/engine/polyphase_state.h"

namespace {

#include "driver/engine/polyphase_loops.inc"

struct Store4 {
  static void Frame(float* to, const float* frame, uint32_t) {
    _mm_store_ps(to, _mm_loadu_ps(frame));
  }
};

// Lanes 0..7 as one 32-byte store, 8..11 as one 16-byte store (padding zero).
struct Store10 {
  static void Frame(float* to, const float* frame, uint32_t) {
    _mm256_storeu_ps(to, _mm256_loadu_ps(frame));
    _mm_store_ps(to + 8, _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(frame + 8)));
  }
};

// Two 16-byte frames as one register, each loaded on its own.
inline __m256 LoadFramePair(const float* window) {
  return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(window)),
                              _mm_load_ps(window + 4), 1);
}

// Four channels: two window frames per 256-bit register, their two
// coefficients spread over the halves by one permute; four partial sums.
struct Frame4 : Interleaved<Store4> {
  static void Frame(const polyphase::State& s, const float* row, float* out) {
    const float* window = Window(s);
    const uint32_t twoT = s.TwoT;
    const __m256i lo = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    const __m256i hi = _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3);
    __m256 a0 = _mm256_setzero_ps(), a1 = a0, a2 = a0, a3 = a0;
    uint32_t k = 0;
    for (; k + 8 <= twoT; k += 8, window += 32) {
      const __m256 c = _mm256_castps128_ps256(_mm_loadu_ps(row + k));
      const __m256 d = _mm256_castps128_ps256(_mm_loadu_ps(row + k + 4));
      a0 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(c, lo), LoadFramePair(window), a0);
      a1 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(c, hi), LoadFramePair(window + 8), a1);
      a2 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(d, lo), LoadFramePair(window + 16), a2);
      a3 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(d, hi), LoadFramePair(window + 24), a3);
    }
    const __m256 sum = _mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3));
    __m128 r = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    for (; k < twoT; ++k, window += 4) {
      r = _mm_fmadd_ps(_mm_set1_ps(row[k]), _mm_load_ps(window), r);
    }
    _mm_storeu_ps(out, r);
  }
};

// Ten channels: eight in a 256-bit register and two in a 128-bit one.
struct Frame10 : Interleaved<Store10> {
  static void Frame(const polyphase::State& s, const float* row, float* out) {
    const float* window = Window(s);
    const uint32_t twoT = s.TwoT;
    __m256 a0 = _mm256_setzero_ps(), b0 = a0;
    __m128 a1 = _mm_setzero_ps(), b1 = a1;
    uint32_t k = 0;
    for (; k + 2 <= twoT; k += 2, window += 24) {
      const __m256 c = _mm256_broadcast_ss(row + k);
      const __m256 d = _mm256_broadcast_ss(row + k + 1);
      a0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(window), a0);
      a1 = _mm_fmadd_ps(_mm256_castps256_ps128(c), _mm_load_ps(window + 8), a1);
      b0 = _mm256_fmadd_ps(d, _mm256_loadu_ps(window + 12), b0);
      b1 = _mm_fmadd_ps(_mm256_castps256_ps128(d), _mm_load_ps(window + 20), b1);
    }
    if (k < twoT) {
      const __m256 c = _mm256_broadcast_ss(row + k);
      a0 = _mm256_fmadd_ps(c, _mm256_loadu_ps(window), a0);
      a1 = _mm_fmadd_ps(_mm256_castps256_ps128(c), _mm_load_ps(window + 8), a1);
    }
    _mm256_storeu_ps(out, _mm256_add_ps(a0, b0));
    _mm_storel_pi(reinterpret_cast<__m64*>(out + 8), _mm_add_ps(a1, b1));
  }
};

}  // namespace

namespace polyphase {

Loops Avx2Loops(uint32_t channels) {
  if (channels == 4) return LoopsOf<Frame4>();
  if (channels == 10) return LoopsOf<Frame10>();
  return SseLoops(channels);
}

}  // namespace polyphase
