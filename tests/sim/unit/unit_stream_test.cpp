// The isochronous streams: input sources, the analog loopback, OUT packet
// checks, underruns and the injected IN faults.
#include <gtest/gtest.h>

#include <cmath>

#include "unit_bench.h"

namespace sim::unit {
namespace {

using harness::UnitBench;

// Input channel `channel` of every frame the unit sent while `bench` looped
// `microframes` times, output frame n carrying render(n, channel).
std::vector<float> Capture(UnitBench& bench, unsigned channel, int microframes,
                           const std::function<float(uint64_t, unsigned)>& render) {
  std::vector<float> captured;
  for (int i = 0; i < microframes; ++i) {
    const auto in = bench.Loop(render);
    for (size_t at = channel; at < in.size(); at += kInChannels) captured.push_back(in[at]);
  }
  return captured;
}

TEST(UnitStream, LoopbackDelaysAnOutputSampleByTheConverterDelays) {
  struct Case {
    unsigned dac, adc;
    double ppm;
  };
  const Case cases[] = {{48, 49, 0.0}, {48, 49, +100.0}, {10, 3, -300.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.dac << "+" << c.adc << " at " << c.ppm << " ppm");
    UnitBench bench({.crystalPpm = c.ppm, .dacDelay = c.dac, .adcDelay = c.adc});
    bench.unit.PatchInput(7, Loopback{.outputChannel = 2});
    bench.StartStreaming();
    constexpr uint64_t kImpulseAt = 1000;
    const auto captured = Capture(bench, 7, 400, [](uint64_t frame, unsigned channel) {
      return frame == kImpulseAt && channel == 2 ? 1.0f : 0.0f;
    });
    std::vector<size_t> nonZero;
    for (size_t i = 0; i < captured.size(); ++i)
      if (captured[i] != 0.0f) nonZero.push_back(i);
    ASSERT_EQ(nonZero.size(), 1u);
    EXPECT_EQ(nonZero[0], kImpulseAt + c.dac + c.adc);
    EXPECT_EQ(captured[nonZero[0]], 1.0f);
  }
}

TEST(UnitStream, SourcesFillTheirOwnChannels) {
  UnitBench bench;
  bench.unit.PatchInput(0, Sine{.frequency = 1000.0, .level = 0.25});
  bench.unit.PatchInput(1, WhiteNoise{.seed = 7, .level = 0.5});
  bench.unit.PatchInput(2, WhiteNoise{.seed = 7, .level = 0.5});
  bench.unit.PatchInput(3, WhiteNoise{.seed = 8, .level = 0.5});
  bench.StartStreaming();
  auto silent = [](uint64_t, unsigned) { return 0.0f; };
  std::vector<std::vector<float>> channels(kInChannels);
  for (int i = 0; i < 80; ++i) {  // 10 ms
    const auto in = bench.Loop(silent);
    for (size_t at = 0; at < in.size(); ++at) channels[at % kInChannels].push_back(in[at]);
  }
  ASSERT_EQ(channels[0].size(), 480u);
  for (size_t n = 0; n < 480; ++n)
    ASSERT_NEAR(channels[0][n], 0.25 * std::sin(2 * M_PI * 1000.0 * n / 48000.0), 1e-5) << n;

  EXPECT_EQ(channels[1], channels[2]);  // same seed, same noise
  EXPECT_NE(channels[1], channels[3]);
  float peak = 0.0f;
  for (float s : channels[1]) peak = std::max(peak, std::fabs(s));
  EXPECT_LE(peak, 0.5f);
  EXPECT_GT(peak, 0.4f);
  for (unsigned channel = 4; channel < kInChannels; ++channel)
    EXPECT_EQ(channels[channel], std::vector<float>(480, 0.0f)) << channel;
}

TEST(UnitStream, OutPacketsThatAreNotWholeFramesAreCountedAndDropped) {
  UnitBench bench;
  bench.unit.TapOutput(0);
  bench.StartStreaming();
  const std::vector<uint8_t> badLengths[] = {std::vector<uint8_t>(15), std::vector<uint8_t>(17),
                                             std::vector<uint8_t>(kIsoOutMaxPacket + 16)};
  for (const auto& packet : badLengths) {
    EXPECT_EQ(bench.unit.IsoOut(kIsoOutEndpoint, packet), EndpointStatus::Malformed);
    bench.NextMicroframe();
  }
  EXPECT_EQ(bench.WriteOut(std::vector<float>(6 * kOutChannels, 0.5f)), EndpointStatus::Ok);
  bench.NextMicroframe();

  const auto counters = bench.unit.counters();
  EXPECT_EQ(counters.outMalformedPackets, 3u);
  EXPECT_EQ(counters.outPackets, 1u);
  EXPECT_EQ(counters.outFrames, 6u);
  EXPECT_EQ(counters.outUnderruns, 0u);  // a bad packet still arrived
  EXPECT_EQ(bench.unit.TapSamples(0), std::vector<float>(6, 0.5f));
}

TEST(UnitStream, UnderrunsCountRunningMicroframesWithoutAPacket) {
  UnitBench bench;
  bench.unit.TapOutput(3);
  bench.StartStreaming();
  for (int i = 0; i < 5; ++i) bench.NextMicroframe();  // not running yet: no underrun
  EXPECT_EQ(bench.unit.TapUnderruns(3), 0u);

  bench.WriteOut(std::vector<float>(6 * kOutChannels));
  bench.unit.BeginMicroframe(bench.microframe += 4);  // three microframes without a packet
  EXPECT_EQ(bench.unit.TapUnderruns(3), 3u);
  EXPECT_EQ(bench.unit.counters().outUnderruns, 3u);

  // Deselecting the setting stops the stream; silence is no underrun then.
  bench.SetInterface(kAudioOutInterface, 0);
  bench.unit.BeginMicroframe(bench.microframe += 10);
  EXPECT_EQ(bench.unit.TapUnderruns(3), 3u);
}

TEST(UnitStream, InjectedInFaultsLoseTheFramesOfTheirMicroframe) {
  UnitBench bench;
  bench.StartStreaming();
  bench.unit.DropNextInPackets(kIsoInEndpoint, 2);
  bench.unit.ShortenNextInPackets(kIsoInEndpoint, 1, 2);
  uint8_t buffer[kIsoInMaxPacket];
  std::vector<std::pair<EndpointStatus, size_t>> packets;
  for (int i = 0; i < 4; ++i) {
    const Transfer t = bench.unit.IsoIn(kIsoInEndpoint, buffer);
    packets.emplace_back(t.status, t.length / kInFrameBytes);
    bench.NextMicroframe();
  }
  using P = std::pair<EndpointStatus, size_t>;
  EXPECT_EQ(packets, (std::vector<P>{P{EndpointStatus::NoResponse, 0}, P{EndpointStatus::NoResponse, 0},
                                     P{EndpointStatus::Ok, 2}, P{EndpointStatus::Ok, 6}}));
  const auto counters = bench.unit.counters();
  EXPECT_EQ(counters.inDroppedPackets, 2u);
  EXPECT_EQ(counters.inShortenedPackets, 1u);
}

TEST(UnitStream, AnInBufferTooSmallForThePacketIsBabble) {
  UnitBench bench;
  bench.StartStreaming();
  uint8_t small[3 * kInFrameBytes + 8];
  const Transfer t = bench.unit.IsoIn(kIsoInEndpoint, small);
  EXPECT_EQ(t.status, EndpointStatus::Babble);
  EXPECT_EQ(t.length, 3 * kInFrameBytes);
}

}  // namespace
}  // namespace sim::unit
