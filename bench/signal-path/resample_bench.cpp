// BM_Resample/<resampler>/<from>to<to>/<channels>ch: the time to convert one
// second of interleaved float audio in 1 ms requests, with the resampler's
// quality on test tones as counters of the same entry.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <numbers>
#include <string>
#include <vector>

#include "bench/signal-path/peer_resamplers.h"
#include "bench/signal-path/signal_quality.h"

namespace bench {
namespace {

const Conversion kConversions[] = {
    {44100, 48000, 4},   // render: engine to bus, four channels
    {48000, 44100, 10},  // capture: bus to engine, ten channels
};

const Quality& CachedQuality(const Candidate& candidate, const Conversion& c) {
  static std::map<std::string, Quality> cache;
  const std::string key = candidate.name + "/" + std::to_string(c.fromRate);
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, MeasureQuality(candidate, c)).first;
  return it->second;
}

void ResampleOneSecond(benchmark::State& state, const Candidate* candidate, Conversion c) {
  std::vector<float> input((size_t{c.fromRate} + 4096) * c.channels);
  for (size_t i = 0; i < input.size() / c.channels; ++i) {
    for (unsigned ch = 0; ch < c.channels; ++ch) {
      input[i * c.channels + ch] =
          0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * (440.0 * (ch + 1)) * i / c.fromRate));
    }
  }
  std::vector<float> output(OutputCapacity(c));
  auto resampler = candidate->make(c);
  size_t frames = 0;
  for (auto _ : state) {
    frames += resampler->ConvertSecond(input.data(), output.data());
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * c.fromRate);
  state.counters["out_frames_per_s"] =
      benchmark::Counter(static_cast<double>(frames) / static_cast<double>(state.iterations()));
  const Quality& q = CachedQuality(*candidate, c);
  state.counters["sinad_1k_dB"] = q.sinad1k;
  state.counters["sinad_15k_dB"] = q.sinad15k;
  if (q.hasAlias) state.counters["alias_23k_dB"] = q.alias23k;
}

const bool kRegistered = [] {
  for (const Conversion& c : kConversions) {
    for (const Candidate& candidate : Candidates()) {
      const std::string name = "BM_Resample/" + candidate.name + "/" + std::to_string(c.fromRate) +
                               "to" + std::to_string(c.toRate) + "/" +
                               std::to_string(c.channels) + "ch";
      benchmark::RegisterBenchmark(name.c_str(), ResampleOneSecond, &candidate, c)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  return true;
}();

}  // namespace
}  // namespace bench
