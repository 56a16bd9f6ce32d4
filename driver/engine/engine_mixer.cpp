#include "driver/engine/engine_mixer.h"

#include "driver/engine/filter_bank.h"

namespace {

constexpr ULONG kFallbackRate = 44100;

VOID Append(CChannelEndpoint** head, CChannelEndpoint* endpoint) {
  endpoint->Next = nullptr;
  while (*head != nullptr) head = &(*head)->Next;
  *head = endpoint;
}

BOOLEAN Unlink(CChannelEndpoint** head, CChannelEndpoint* endpoint) {
  for (; *head != nullptr; head = &(*head)->Next) {
    if (*head == endpoint) {
      *head = endpoint->Next;
      endpoint->Next = nullptr;
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

VOID CEngineMixer::Initialize() {
  for (auto& list : renderLists_) list = nullptr;
  for (auto& list : captureLists_) list = nullptr;
  RtlZeroMemory(mixBuffer_, sizeof(mixBuffer_));
  RtlZeroMemory(silence_, sizeof(silence_));
  RtlZeroMemory(clientBlock_, sizeof(clientBlock_));
  cycleStartFrame_ = 0;
  OutFrameBytes = kRenderFrameBytes;
  InFrameBytes = kCaptureFrameBytes;
  SetupResamplers(kFallbackRate, kFallbackRate);
}

VOID CEngineMixer::AppendRenderEndpoint(ULONG channel, CChannelEndpoint* endpoint) {
  if (channel < kRenderChannels && endpoint != nullptr) Append(&renderLists_[channel], endpoint);
}

VOID CEngineMixer::AppendCaptureEndpoint(ULONG channel, CChannelEndpoint* endpoint) {
  if (channel < kCaptureChannels && endpoint != nullptr) Append(&captureLists_[channel], endpoint);
}

BOOLEAN CEngineMixer::RemoveEndpoint(CChannelEndpoint* endpoint) {
  for (auto& list : renderLists_) {
    if (Unlink(&list, endpoint)) return TRUE;
  }
  for (auto& list : captureLists_) {
    if (Unlink(&list, endpoint)) return TRUE;
  }
  return FALSE;
}

VOID CEngineMixer::SetupResamplers(ULONG engineRate, ULONG busRate) {
  if (engineRate == 0 || busRate == 0) engineRate = busRate = kFallbackRate;
  resamplerA_.Setup(engineRate, busRate, SelectKernel(engineRate, busRate), kRenderChannels);
  resamplerB_.Setup(busRate, engineRate, SelectKernel(busRate, engineRate), kCaptureChannels);
  RtlZeroMemory(renderStaging_, sizeof(renderStaging_));
  RtlZeroMemory(captureStaging_, sizeof(captureStaging_));
}

VOID CEngineMixer::ResetResamplers() {
  resamplerA_.Reset();
  resamplerB_.Reset();
  RtlZeroMemory(renderStaging_, sizeof(renderStaging_));
  RtlZeroMemory(captureStaging_, sizeof(captureStaging_));
}

VOID CEngineMixer::ForceBaselineLoops(bool baseline) {
  resamplerA_.ForceBaseline(baseline);
  resamplerB_.ForceBaseline(baseline);
}

// The first endpoint that writes overwrites the mix buffer, every later one
// adds to it; a channel nobody wrote is silence.
VOID CEngineMixer::MixRenderChannel(ULONG channel, ULONG frames) {
  CChannelEndpoint* endpoint = renderLists_[channel];
  while (endpoint != nullptr && endpoint->RenderRead(mixBuffer_, frames) == 0) {
    endpoint = endpoint->Next;
  }
  if (endpoint == nullptr) {
    RtlZeroMemory(mixBuffer_, frames * sizeof(FLOAT));
  } else {
    for (endpoint = endpoint->Next; endpoint != nullptr; endpoint = endpoint->Next) {
      endpoint->RenderMix(mixBuffer_, frames);
    }
  }
  FLOAT* slot = renderStaging_ + channel;
  for (ULONG i = 0; i < frames; ++i) slot[i * kRenderChannels] = mixBuffer_[i];
}

ULONG CEngineMixer::RenderBusFrameLimit() const {
  const ULONGLONG l = resamplerA_.PhaseCount();
  const ULONGLONG reach = (kMixBufferFrames + 1) * l - 1 - resamplerA_.Accumulator();
  const ULONGLONG limit = reach / resamplerA_.Step();
  return limit > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(limit);
}

ULONG CEngineMixer::RenderCycle(ULONG busFrames, FLOAT* destination) {
  // A request longer than the mix buffer allows gets silence for the rest
  // rather than a buffer overrun; real requests are far shorter.
  ULONG frames = busFrames;
  const ULONG limit = RenderBusFrameLimit();
  if (frames > limit) frames = limit;

  const ULONG engineFrames = resamplerA_.TakeInputFrames(frames);
  for (ULONG channel = 0; channel < kRenderChannels; ++channel) {
    MixRenderChannel(channel, engineFrames);
  }
  resamplerA_.RenderFrames(renderStaging_, frames, destination);
  if (frames < busFrames) {
    RtlZeroMemory(destination + frames * kRenderChannels,
                  (busFrames - frames) * kRenderFrameBytes);
  }
  return engineFrames;
}

ULONG CEngineMixer::CaptureCycle(const FLOAT* source, ULONG busFrames) {
  const ULONG engineFrames =
      resamplerB_.CaptureFrames(source, busFrames, captureStaging_, kCaptureStagingFrames);
  for (ULONG channel = 0; channel < kCaptureChannels; ++channel) {
    for (CChannelEndpoint* e = captureLists_[channel]; e != nullptr; e = e->Next) {
      e->CaptureWrite(captureStaging_ + channel, engineFrames, kCaptureFrameBytes);
    }
  }
  return engineFrames;
}

VOID CEngineMixer::BeginCycle(ULONG startFrame) {
  cycleStartFrame_ = startFrame;
  for (CChannelEndpoint* list : captureLists_) {
    for (CChannelEndpoint* e = list; e != nullptr; e = e->Next) e->BeginCycle();
  }
  for (CChannelEndpoint* list : renderLists_) {
    for (CChannelEndpoint* e = list; e != nullptr; e = e->Next) e->BeginCycle();
  }
}

VOID CEngineMixer::Advance(ULONG renderFrames, ULONG captureFrames) {
  for (CChannelEndpoint* list : captureLists_) {
    for (CChannelEndpoint* e = list; e != nullptr; e = e->Next) e->Advance(captureFrames);
  }
  for (CChannelEndpoint* list : renderLists_) {
    for (CChannelEndpoint* e = list; e != nullptr; e = e->Next) e->Advance(renderFrames);
  }
}
