#include "driver/engine/polyphase_resampler.h"

#include <intrin.h>

#include "driver/engine/fp_environment.h"

namespace {

// AVX2 and FMA in the processor, and the YMM state saved by the system.
bool ProcessorHasAvx2Fma() {
  int leaf1[4];
  __cpuidex(leaf1, 1, 0);
  const bool fma = (leaf1[2] & (1 << 12)) != 0;
  const bool osxsave = (leaf1[2] & (1 << 27)) != 0;
  const bool avx = (leaf1[2] & (1 << 28)) != 0;
  if (!(fma && osxsave && avx) || (_xgetbv(0) & 0x6) != 0x6) return false;
  int leaf7[4];
  __cpuidex(leaf7, 7, 0);
  return (leaf7[1] & (1 << 5)) != 0;
}

polyphase::Loops LoopsFor(ULONG channels, bool baselineOnly) {
  return (!baselineOnly && ProcessorHasAvx2Fma()) ? polyphase::Avx2Loops(channels)
                                                 : polyphase::SseLoops(channels);
}

bool KernelFits(const FILTER_KERNEL* kernel) {
  if (kernel == nullptr || kernel->PhaseCount == 0 || (kernel->TapCount & 1) == 0) return false;
  const ULONG half = (kernel->TapCount - 1) / 2;
  const ULONG taps = half / kernel->PhaseCount;
  return taps >= 1 && half + 1 <= polyphase::kMaxKernelCopy &&
         2 * taps <= polyphase::kHistoryFrames &&
         2 * taps * kernel->PhaseCount <= polyphase::kMaxRowCoefficients;
}

}  // namespace

VOID CPolyphaseResampler::Setup(ULONG fromRate, ULONG toRate, const FILTER_KERNEL* kernel,
                                ULONG channels) {
  if (!KernelFits(kernel)) kernel = &g_IdentityKernel;
  if (channels == 0 || channels > kMaxChannels) channels = kMaxChannels;
  fromRate_ = fromRate;
  toRate_ = toRate;
  tapCount_ = kernel->TapCount;

  const ULONG half = (kernel->TapCount - 1) / 2;
  RtlZeroMemory(kernelCopy_, sizeof(kernelCopy_));
  RtlCopyMemory(kernelCopy_, kernel->Coefficients, half * sizeof(FLOAT));
  kernelCopy_[half] = 0.0f;
  kernelCopyLength_ = half + 1;

  state_.Channels = channels;
  state_.Stride = (channels + 3) & ~3u;
  state_.History = history_;
  state_.Rows = rows_;
  state_.PhaseCount = kernel->PhaseCount;
  state_.TwoT = 2 * (half / kernel->PhaseCount);
  // A step of 0 would never consume input; the bank's rates never give one.
  const ULONGLONG step = toRate == 0 ? 0 : ULONGLONG{fromRate} * kernel->PhaseCount / toRate;
  state_.Step = step == 0 ? 1 : static_cast<ULONG>(step);
  state_.Silent = kernelCopy_[0] == 0.0f;
  BuildRows();
  loops_ = LoopsFor(channels, forceBaseline_);
  Reset();
}

VOID CPolyphaseResampler::ForceBaseline(bool baseline) {
  forceBaseline_ = baseline;
  if (state_.Channels != 0) loops_ = LoopsFor(state_.Channels, forceBaseline_);
}

VOID CPolyphaseResampler::Reset() {
  accumulator_ = 0;
  state_.Phase = 0;
  ClearHistory();
}

VOID CPolyphaseResampler::ClearHistory() {
  RtlZeroMemory(history_, sizeof(history_));
  state_.Newest = 0;
}

// out = sum over i < T of c[T*L - p - i*L] h[i] + c[p + i*L] h[T + i], with
// h[0] the newest frame. The rows hold these coefficients oldest-frame first.
VOID CPolyphaseResampler::BuildRows() {
  const ULONG l = state_.PhaseCount;
  const ULONG twoT = state_.TwoT;
  const ULONG t = twoT / 2;
  RtlZeroMemory(rows_, sizeof(rows_));
  for (ULONG p = 0; p < l; ++p) {
    FLOAT* row = rows_ + p * twoT;
    for (ULONG j = 0; j < twoT; ++j) {
      const ULONG index = j < t ? t * l - p - j * l : p + (j - t) * l;
      row[twoT - 1 - j] = kernelCopy_[index];
    }
  }
}

ULONG CPolyphaseResampler::TakeInputFrames(ULONG outputFrames) {
  const ULONGLONG total = accumulator_ + ULONGLONG{state_.Step} * outputFrames;
  accumulator_ = static_cast<ULONG>(total % state_.PhaseCount);
  return static_cast<ULONG>(total / state_.PhaseCount);
}

VOID CPolyphaseResampler::RenderFrames(const FLOAT* input, ULONG outputFrames, FLOAT* output) {
  CFlushToZeroScope flushToZero;
  loops_.Render(state_, input, outputFrames, output);
}

ULONG CPolyphaseResampler::CaptureFrames(const FLOAT* input, ULONG inputFrames, FLOAT* output,
                                         ULONG capacity) {
  CFlushToZeroScope flushToZero;
  return loops_.Capture(state_, input, inputFrames, output, capacity);
}
