// WAV files in and out of the unit: a file as an input source, an output
// tap written to a file.
#include <gtest/gtest.h>

#include <filesystem>

#include "sim/unit/wav.h"
#include "unit_bench.h"

namespace sim::unit {
namespace {

using harness::UnitBench;

class UnitWavTest : public ::testing::Test {
 protected:
  UnitWavTest() {
    dir_ = std::filesystem::temp_directory_path() /
           ("tarvik-unit-wav-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  ~UnitWavTest() override { std::filesystem::remove_all(dir_); }
  std::string Path(const char* name) const { return (dir_ / name).string(); }

  static std::vector<float> Ramp(size_t count) {
    std::vector<float> samples(count);
    for (size_t i = 0; i < count; ++i) samples[i] = static_cast<float>(i) / count - 0.5f;
    return samples;
  }

  std::filesystem::path dir_;
};

TEST_F(UnitWavTest, FilePlaysFrameForFrameFromTheFirstCapturedFrame) {
  const auto ramp = Ramp(300);
  {
    WavWriter writer(Path("ramp.wav"), 48000);
    writer.Write(ramp.data(), ramp.size());
  }
  UnitBench bench;
  bench.unit.PatchInput(5, WavSource{.path = Path("ramp.wav")});
  bench.StartStreaming();
  for (int i = 0; i < 10; ++i) bench.NextMicroframe();  // the file waits for the first capture

  std::vector<float> captured;
  while (captured.size() < 360) {
    const auto in = bench.ReadIn();
    for (size_t at = 5; at < in.size(); at += kInChannels) captured.push_back(in[at]);
    bench.NextMicroframe();
  }
  EXPECT_EQ(std::vector<float>(captured.begin(), captured.begin() + 300), ramp);
  EXPECT_EQ(std::vector<float>(captured.begin() + 300, captured.end()), std::vector<float>(60, 0.0f));
}

TEST_F(UnitWavTest, LoopedFileStartsOverAtItsEnd) {
  const std::vector<float> three = {0.1f, 0.2f, 0.3f};
  {
    WavWriter writer(Path("three.wav"), 48000);
    writer.Write(three.data(), three.size());
  }
  UnitBench bench;
  bench.unit.PatchInput(0, WavSource{.path = Path("three.wav"), .loop = true});
  bench.StartStreaming();
  const auto in = bench.ReadIn();
  ASSERT_EQ(in.size(), 6 * kInChannels);
  for (size_t frame = 0; frame < 6; ++frame) EXPECT_EQ(in[frame * kInChannels], three[frame % 3]);
}

TEST_F(UnitWavTest, FilesThatCannotBePlayedAreRefused) {
  {
    WavWriter writer(Path("cd.wav"), 44100);
    const float one = 0.0f;
    writer.Write(&one, 1);
  }
  TarvikUnit unit;
  EXPECT_THROW(unit.PatchInput(0, WavSource{.path = Path("cd.wav")}), std::runtime_error);
  EXPECT_THROW(unit.PatchInput(0, WavSource{.path = Path("missing.wav")}), std::runtime_error);
  EXPECT_THROW(unit.PatchInput(0, WavSource{.path = Path("cd.wav"), .channel = 1}), std::runtime_error);
}

TEST_F(UnitWavTest, TapWritesWhatArrivedOnItsChannel) {
  UnitBench bench;
  bench.unit.TapOutputToWav(1, Path("cue-left.wav"));
  bench.StartStreaming();
  for (int i = 0; i < 2000; ++i)  // 12,000 frames: more than one write batch
    bench.Loop([](uint64_t frame, unsigned channel) {
      return channel == 1 ? static_cast<float>(frame % 1000) / 1000.0f : -1.0f;
    });
  bench.unit.CloseTaps();

  const WavChannel file = ReadWavChannel(Path("cue-left.wav"), 0);
  EXPECT_EQ(file.sampleRate, 48000);
  ASSERT_EQ(file.samples.size(), 12'000u);
  for (size_t i = 0; i < file.samples.size(); ++i)
    ASSERT_EQ(file.samples[i], static_cast<float>(i % 1000) / 1000.0f) << i;
}

}  // namespace
}  // namespace sim::unit
