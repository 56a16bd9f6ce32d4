// A polyphase sample-rate converter over interleaved float frames: the
// history of input frames, one coefficient row per phase, the step between
// output frames in phase units and a frame accumulator for the render side.
// Setup and Reset run at PASSIVE_LEVEL or in the data cycle; the run routines
// run in the data cycle at DISPATCH_LEVEL under the engine's stream lock.
// Nothing here allocates: all storage is inside the object.
#pragma once

#include <wdm.h>

#include "driver/engine/filter_bank.h"
#include "driver/engine/polyphase_state.h"

class CPolyphaseResampler {
 public:
  static constexpr ULONG kMaxChannels = polyphase::kMaxChannels;

  // Clears history, phase and accumulator, copies the kernel (its centre half
  // with the last coefficient replaced by 0) and derives the phase rows and
  // the step. The phase starts at 0 too: one left from a kernel with more
  // phases would index past the rows, and a phase out of step with the
  // accumulator would read one staging frame too many or too few per cycle.
  // A kernel too long for the fixed storage falls back to identity.
  VOID Setup(ULONG fromRate, ULONG toRate, const FILTER_KERNEL* kernel, ULONG channels);

  // Restart: accumulator, phase and history cleared; kernel and step kept.
  VOID Reset();

  // Render step 1: input frames the next `outputFrames` outputs consume.
  ULONG TakeInputFrames(ULONG outputFrames);

  // Render: `outputFrames` frames from the frames at `input` (consumed as
  // the phase wraps). Both interleaved with Channels() floats per frame.
  VOID RenderFrames(const FLOAT* input, ULONG outputFrames, FLOAT* output);

  // Capture: consumes `inputFrames` frames, writes at most `capacity` output
  // frames and returns how many it wrote.
  ULONG CaptureFrames(const FLOAT* input, ULONG inputFrames, FLOAT* output, ULONG capacity);

  // Use the SSE2 loops even where AVX2+FMA is available (tests compare both).
  VOID ForceBaseline(bool baseline);

  ULONG Channels() const { return state_.Channels; }
  ULONG PhaseCount() const { return state_.PhaseCount; }
  ULONG TapsPerSide() const { return state_.TwoT / 2; }
  ULONG Step() const { return state_.Step; }
  ULONG Phase() const { return state_.Phase; }
  ULONG Accumulator() const { return accumulator_; }
  ULONG FromRate() const { return fromRate_; }
  ULONG ToRate() const { return toRate_; }
  // The kernel copy: (N - 1) / 2 + 1 entries, the last one 0.
  const FLOAT* KernelCopy() const { return kernelCopy_; }
  ULONG KernelCopyLength() const { return kernelCopyLength_; }

 private:
  VOID BuildRows();
  VOID ClearHistory();

  // 16 bytes is what pool memory guarantees; the loops need no more.
  alignas(16) FLOAT history_[2 * polyphase::kHistoryFrames * polyphase::kMaxChannels];
  alignas(16) FLOAT rows_[polyphase::kMaxRowCoefficients];
  FLOAT kernelCopy_[polyphase::kMaxKernelCopy];
  ULONG kernelCopyLength_ = 0;
  ULONG tapCount_ = 0;
  ULONG fromRate_ = 0;
  ULONG toRate_ = 0;
  ULONG accumulator_ = 0;
  polyphase::State state_ = {};
  polyphase::Loops loops_ = {};
  bool forceBaseline_ = false;
};
