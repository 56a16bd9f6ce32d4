// The unit's crystal as the host sees it: frames per microframe.
#include <gtest/gtest.h>

#include <set>

#include "sim/unit/crystal.h"
#include "unit_bench.h"

namespace sim::unit {
namespace {

constexpr uint64_t kSecond = 8000;  // microframes

TEST(Crystal, DeliversTheRateItsErrorSaysInPacketsOfFiveToSeven) {
  struct Case {
    double ppm;
    uint64_t framesInTenSeconds;
    std::set<uint32_t> sizes;  // packet sizes that occur
  };
  const Case cases[] = {
      {0.0, 480'000, {6}},
      {+100.0, 480'048, {6, 7}},
      {-100.0, 479'952, {5, 6}},
      {+250.5, 480'120, {6, 7}},  // 48,012.024 frames per second
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ppm);
    Crystal crystal(c.ppm);
    std::set<uint32_t> seen;
    uint64_t total = 0;
    for (uint64_t microframe = 0; microframe < 10 * kSecond; ++microframe) {
      const uint32_t frames = crystal.FramesIn(microframe);
      seen.insert(frames);
      total += frames;
    }
    EXPECT_EQ(total, c.framesInTenSeconds);
    EXPECT_EQ(seen, c.sizes);
  }
}

TEST(Crystal, ChangingTheErrorKeepsTheFramesAlreadyCounted) {
  Crystal crystal(0.0);
  const uint64_t before = crystal.FramesBefore(kSecond);
  crystal.SetError(+1000.0, kSecond);
  EXPECT_EQ(crystal.FramesBefore(kSecond), before);
  EXPECT_EQ(crystal.FramesBefore(2 * kSecond) - before, 48'048u);
}

// Through the IN endpoint, as a host polling every microframe sees it.
TEST(Crystal, UnitAtPlus100PpmDelivers48004Point8FramesPerSecond) {
  harness::UnitBench bench({.crystalPpm = 100.0});
  bench.StartStreaming();
  uint64_t frames = 0;
  for (uint64_t i = 0; i < 10 * kSecond; ++i) {
    const size_t packet = bench.ReadIn().size() / kInChannels;
    ASSERT_GE(packet, 5u);
    ASSERT_LE(packet, 7u);
    frames += packet;
    bench.NextMicroframe();
  }
  EXPECT_EQ(frames, 480'048u);  // 48,004.8 per second
  EXPECT_EQ(bench.unit.counters().inFrames, frames);
}

}  // namespace
}  // namespace sim::unit
