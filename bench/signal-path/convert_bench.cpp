// BM_CaptureConvert / BM_RenderConvert: one stereo 100 ms buffer at 48 kHz
// between float and each client format.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "driver/engine/sample_convert.h"

namespace {

constexpr ULONG kFrames = 4800;
constexpr ULONG kChannels = 2;

struct Format {
  const char* name;
  ULONG bytes;
  ULONG validBits;
};

const Format kFormats[] = {{"s16", 2, 16}, {"s24_packed", 3, 24}, {"s24_in_32", 4, 24},
                           {"s32", 4, 32}};

std::vector<float> Stereo() {
  std::vector<float> f(kFrames * kChannels);
  for (size_t i = 0; i < f.size(); ++i) f[i] = 0.9f * std::sin(0.01f * static_cast<float>(i));
  return f;
}

void CaptureToClient(benchmark::State& state, Format format) {
  const std::vector<float> source = Stereo();
  std::vector<UCHAR> client(kFrames * kChannels * format.bytes);
  const ULONG frameBytes = kChannels * format.bytes;
  for (auto _ : state) {
    for (ULONG ch = 0; ch < kChannels; ++ch) {
      PUCHAR current = client.data() + ch * format.bytes;
      CaptureConvert(client.data(), client.data() + client.size(), &current, source.data() + ch,
                     kFrames, frameBytes, format.bytes, kChannels * sizeof(float), format.validBits);
    }
    benchmark::DoNotOptimize(client.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames * kChannels);
}

void RenderFromClient(benchmark::State& state, Format format) {
  std::vector<UCHAR> client(kFrames * kChannels * format.bytes);
  for (size_t i = 0; i < client.size(); ++i) client[i] = static_cast<UCHAR>(i * 37);
  std::vector<float> channel(kFrames);
  const ULONG frameBytes = kChannels * format.bytes;
  for (auto _ : state) {
    for (ULONG ch = 0; ch < kChannels; ++ch) {
      RenderConvert(client.data(), client.data() + client.size(), client.data() + ch * format.bytes,
                    channel.data(), kFrames, frameBytes, format.bytes, format.validBits);
      benchmark::DoNotOptimize(channel.data());
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kFrames * kChannels);
}

const bool kRegistered = [] {
  for (const Format& f : kFormats) {
    benchmark::RegisterBenchmark((std::string("BM_CaptureConvert/float_to_") + f.name).c_str(),
                                 CaptureToClient, f);
    benchmark::RegisterBenchmark((std::string("BM_RenderConvert/") + f.name + "_to_float").c_str(),
                                 RenderFromClient, f);
  }
  return true;
}();

}  // namespace
