// BM_MixCycle: one whole 1 ms engine cycle at 44.1 kHz clients: capture
// (48 bus frames, ten channels) and render (four channels), each endpoint
// converting to or from its own 16-bit stereo client ring.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "driver/engine/engine_mixer.h"
#include "driver/engine/sample_convert.h"

namespace {

constexpr ULONG kRingFrames = 4410;
constexpr ULONG kClientFrameBytes = 4;  // 16-bit stereo

class ClientRingEndpoint final : public CChannelEndpoint {
 public:
  explicit ClientRingEndpoint(ULONG channelOffset)
      : ring_(kRingFrames * kClientFrameBytes), current_(ring_.data() + channelOffset) {
    for (size_t i = 0; i < ring_.size(); ++i) ring_[i] = static_cast<UCHAR>(i * 13);
  }
  VOID CaptureWrite(const FLOAT* source, ULONG frames, ULONG stride) override {
    CaptureConvert(Begin(), End(), &current_, source, frames, kClientFrameBytes, 2, stride, 16);
  }
  ULONG RenderRead(FLOAT* destination, ULONG frames) override {
    current_ = RenderConvert(Begin(), End(), current_, destination, frames, kClientFrameBytes, 2, 16);
    return 1;
  }
  VOID RenderMix(FLOAT* destination, ULONG frames) override {
    current_ = RenderAdd(Begin(), End(), current_, destination, frames, kClientFrameBytes, 2, 16);
  }
  VOID BeginCycle() override {}
  VOID Advance(ULONG) override {}

 private:
  PUCHAR Begin() { return ring_.data(); }
  PUCHAR End() { return ring_.data() + ring_.size(); }
  std::vector<UCHAR> ring_;
  PUCHAR current_;
};

void MixCycle(benchmark::State& state) {
  auto mixer = std::make_unique<CEngineMixer>();
  mixer->Initialize();
  mixer->SetupResamplers(44100, 48000);
  std::vector<std::unique_ptr<ClientRingEndpoint>> endpoints;
  for (ULONG ch = 0; ch < CEngineMixer::kRenderChannels; ++ch) {
    endpoints.push_back(std::make_unique<ClientRingEndpoint>((ch % 2) * 2));
    mixer->AppendRenderEndpoint(ch, endpoints.back().get());
  }
  for (ULONG ch = 0; ch < CEngineMixer::kCaptureChannels; ++ch) {
    endpoints.push_back(std::make_unique<ClientRingEndpoint>((ch % 2) * 2));
    mixer->AppendCaptureEndpoint(ch, endpoints.back().get());
  }
  std::vector<float> in(48 * CEngineMixer::kCaptureChannels);
  for (size_t i = 0; i < in.size(); ++i) in[i] = 0.5f * std::sin(0.05f * static_cast<float>(i));
  std::vector<float> out(48 * CEngineMixer::kRenderChannels);
  ULONG frame = 0;
  for (auto _ : state) {
    mixer->BeginCycle(frame++);
    const ULONG k = mixer->CaptureCycle(in.data(), 48);
    const ULONG m = mixer->RenderCycle(48, out.data());
    mixer->Advance(m, k);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(MixCycle)->Name("BM_MixCycle/44100/4render_10capture")->Unit(benchmark::kMicrosecond);

}  // namespace
