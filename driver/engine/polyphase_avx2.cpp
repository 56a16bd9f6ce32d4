// AVX2+FMA frame filters, chosen at run time when the processor has both.
// This unit is compiled with -mavx2 -mfma: it includes nothing but intrinsics
// and plain types, so no shared inline code gets built with those flags.
#include <immintrin.h>

#include "driver/engine/polyphase_state.h"

namespace {

#include "driver/engine/polyphase_loops.inc"

// Four channels: two window frames per 256-bit register, their two
// coefficients spread over the halves by one permute.
struct Frame4 {
  static void Frame(const float* row, const float* window, uint32_t twoT, uint32_t,
                    float* out) {
    const __m256i lo = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    const __m256i hi = _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3);
    __m256 a0 = _mm256_setzero_ps(), a1 = a0;
    uint32_t k = 0;
    for (; k + 4 <= twoT; k += 4, window += 16) {
      const __m256 c = _mm256_castps128_ps256(_mm_loadu_ps(row + k));
      a0 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(c, lo), _mm256_loadu_ps(window), a0);
      a1 = _mm256_fmadd_ps(_mm256_permutevar8x32_ps(c, hi), _mm256_loadu_ps(window + 8), a1);
    }
    __m256 sum = _mm256_add_ps(a0, a1);
    __m128 r = _mm_add_ps(_mm256_castps256_ps128(sum), _mm256_extractf128_ps(sum, 1));
    for (; k < twoT; ++k, window += 4) {
      r = _mm_fmadd_ps(_mm_set1_ps(row[k]), _mm_load_ps(window), r);
    }
    _mm_storeu_ps(out, r);
  }
};

// Ten channels: eight in a 256-bit register and two in a 128-bit one.
struct Frame10 {
  static void Frame(const float* row, const float* window, uint32_t twoT, uint32_t,
                    float* out) {
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
