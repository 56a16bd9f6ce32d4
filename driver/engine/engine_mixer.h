// The engine's mix block: per-channel endpoint lists, the two resamplers
// and their staging areas, and the render and capture cycles that move one
// request's audio between the USB buffers and the endpoints.
//
// Cycles, BeginCycle and Advance run at DISPATCH_LEVEL inside the data cycle
// under the engine's stream lock; list changes and SetupResamplers take that
// same lock in the caller. Nothing here allocates or waits; the object is
// embedded in the engine, which lives in the device context.
#pragma once

#include <wdm.h>

#include "driver/engine/channel_endpoint.h"
#include "driver/engine/polyphase_resampler.h"

class CEngineMixer {
 public:
  static constexpr ULONG kRenderChannels = 4;
  static constexpr ULONG kCaptureChannels = 10;
  static constexpr ULONG kStagingBytes = 0xF0000;
  static constexpr ULONG kMixBufferFrames = 5760;
  static constexpr ULONG kSilenceFloats = 6016;
  static constexpr ULONG kRenderFrameBytes = kRenderChannels * sizeof(FLOAT);
  static constexpr ULONG kCaptureFrameBytes = kCaptureChannels * sizeof(FLOAT);
  static constexpr ULONG kRenderStagingFrames = kStagingBytes / kRenderFrameBytes;    // 61440
  static constexpr ULONG kCaptureStagingFrames = kStagingBytes / kCaptureFrameBytes;  // 24576
  static constexpr ULONG kClientBlockBytes = 256;

  // Empty lists, zeroed buffers, resamplers at 44100 both ways.
  VOID Initialize();

  // Lists: new endpoints go to the tail.
  VOID AppendRenderEndpoint(ULONG channel, CChannelEndpoint* endpoint);
  VOID AppendCaptureEndpoint(ULONG channel, CChannelEndpoint* endpoint);
  // Unlinks the endpoint from whichever list holds it; returns whether it did.
  BOOLEAN RemoveEndpoint(CChannelEndpoint* endpoint);
  CChannelEndpoint* RenderList(ULONG channel) const { return renderLists_[channel]; }
  CChannelEndpoint* CaptureList(ULONG channel) const { return captureLists_[channel]; }

  // Resampler A: engine rate -> bus rate; B: bus rate -> engine rate. A zero
  // rate makes both 44100. Also zeroes both staging areas.
  VOID SetupResamplers(ULONG engineRate, ULONG busRate);
  // Restart: phases, accumulators, histories and staging areas cleared.
  VOID ResetResamplers();

  // Mixes the render endpoints and resamples them into `busFrames` frames of
  // four floats at `destination`; returns the engine frames consumed.
  ULONG RenderCycle(ULONG busFrames, FLOAT* destination);
  // Resamples `busFrames` frames of ten floats at `source` and hands the
  // result to the capture endpoints; returns the engine frames produced.
  ULONG CaptureCycle(const FLOAT* source, ULONG busFrames);

  // Stores the cycle's start frame, then BeginCycle on every endpoint:
  // the capture lists first, then the render lists.
  VOID BeginCycle(ULONG startFrame);
  // Advance on every endpoint, capture lists (capture frames) then render
  // lists (render frames).
  VOID Advance(ULONG renderFrames, ULONG captureFrames);

  ULONG CycleStartFrame() const { return cycleStartFrame_; }
  const FLOAT* Silence() const { return silence_; }
  VOID ClearClientBlock() { RtlZeroMemory(clientBlock_, sizeof(clientBlock_)); }
  const CPolyphaseResampler& RenderResampler() const { return resamplerA_; }
  const CPolyphaseResampler& CaptureResampler() const { return resamplerB_; }
  // Tests and benchmarks compare the SSE2 and the AVX2 loops.
  VOID ForceBaselineLoops(bool baseline);

  ULONG OutFrameBytes = kRenderFrameBytes;
  ULONG InFrameBytes = kCaptureFrameBytes;

 private:
  VOID MixRenderChannel(ULONG channel, ULONG frames);
  // The most bus frames one render cycle may produce so that the engine
  // frames it consumes fit the mix buffer.
  ULONG RenderBusFrameLimit() const;

  CChannelEndpoint* renderLists_[kRenderChannels];
  CChannelEndpoint* captureLists_[kCaptureChannels];
  FLOAT mixBuffer_[kMixBufferFrames];
  FLOAT silence_[kSilenceFloats];
  ULONG cycleStartFrame_;
  UCHAR clientBlock_[kClientBlockBytes];
  CPolyphaseResampler resamplerA_;
  CPolyphaseResampler resamplerB_;
  alignas(16) FLOAT renderStaging_[kStagingBytes / sizeof(FLOAT)];
  alignas(16) FLOAT captureStaging_[kStagingBytes / sizeof(FLOAT)];
};
