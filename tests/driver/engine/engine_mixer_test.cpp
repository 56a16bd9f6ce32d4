#include "driver/engine/engine_mixer.h"

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sim/machine.h"
#include "platform/sim/pool.h"

namespace {

// Records every call; renders a constant, or declines to when `writes` is 0.
class FakeEndpoint final : public CChannelEndpoint {
 public:
  FakeEndpoint(std::string name, std::vector<std::string>* log, float value = 0, ULONG writes = 1)
      : name_(std::move(name)), log_(log), value_(value), writes_(writes) {}

  VOID CaptureWrite(const FLOAT* source, ULONG frames, ULONG stride) override {
    Note("capture", frames);
    for (ULONG i = 0; i < frames; ++i) {
      captured.push_back(*reinterpret_cast<const FLOAT*>(reinterpret_cast<const UCHAR*>(source) +
                                                          i * stride));
    }
  }
  ULONG RenderRead(FLOAT* destination, ULONG frames) override {
    Note("read", frames);
    if (writes_ == 0) return 0;
    for (ULONG i = 0; i < frames; ++i) destination[i] = value_;
    return 1;
  }
  VOID RenderMix(FLOAT* destination, ULONG frames) override {
    Note("mix", frames);
    for (ULONG i = 0; i < frames; ++i) destination[i] += value_;
  }
  VOID BeginCycle() override { Note("begin", 0); }
  VOID Advance(ULONG frames) override { Note("advance", frames); }

  std::vector<float> captured;

 private:
  void Note(const char* op, ULONG frames) {
    if (log_) log_->push_back(name_ + " " + op + " " + std::to_string(frames));
  }
  std::string name_;
  std::vector<std::string>* log_;
  float value_;
  ULONG writes_;
};

std::unique_ptr<CEngineMixer> MakeMixer(ULONG engineRate, ULONG busRate) {
  auto mixer = std::make_unique<CEngineMixer>();
  mixer->Initialize();
  mixer->SetupResamplers(engineRate, busRate);
  return mixer;
}

class MixerFrameCounts : public testing::TestWithParam<ULONG> {};

// Bus requests vary with the unit's clock (5 to 7 frames a microframe);
// over any run the engine frames follow the exact rate ratio.
TEST_P(MixerFrameCounts, FollowTheRateRatioWithoutDrift) {
  const ULONG engineRate = GetParam();
  auto mixer = MakeMixer(engineRate, 48000);
  std::vector<float> out(64 * 4);
  std::vector<float> in(64 * 10, 0.0f);
  const ULONG pattern[] = {48, 47, 49, 48, 40, 56, 48};
  ULONGLONG bus = 0, rendered = 0, captured = 0;
  for (int cycle = 0; cycle < 20000; ++cycle) {
    const ULONG n = pattern[cycle % 7];
    bus += n;
    rendered += mixer->RenderCycle(n, out.data());
    captured += mixer->CaptureCycle(in.data(), n);
    const double exact = static_cast<double>(bus) * engineRate / 48000;
    ASSERT_LE(std::abs(static_cast<double>(rendered) - exact), 1.0) << cycle;
    ASSERT_LE(std::abs(static_cast<double>(captured) - exact), 1.0) << cycle;
  }
}

INSTANTIATE_TEST_SUITE_P(EngineRates, MixerFrameCounts,
                         testing::Values(44100u, 48000u, 88200u, 96000u, 192000u));

TEST(EngineMixer, FirstWriterOverwritesLaterOnesAddSilentChannelIsZero) {
  std::vector<std::string> log;
  FakeEndpoint declines("declines", &log, 0, 0), first("first", &log, 1.0f),
      second("second", &log, 0.25f), alone("alone", &log, -0.5f);
  auto mixer = MakeMixer(48000, 48000);
  mixer->AppendRenderEndpoint(0, &declines);
  mixer->AppendRenderEndpoint(0, &first);
  mixer->AppendRenderEndpoint(0, &second);
  mixer->AppendRenderEndpoint(2, &alone);

  std::vector<float> out(48 * 4);
  EXPECT_EQ(mixer->RenderCycle(48, out.data()), 48u);
  const std::vector<std::string> expected = {"declines read 48", "first read 48",
                                             "second mix 48", "alone read 48"};
  EXPECT_EQ(log, expected);
  // The identity filter delays by three frames.
  for (size_t i = 3; i < 48; ++i) {
    EXPECT_EQ(out[i * 4 + 0], 1.25f);
    EXPECT_EQ(out[i * 4 + 1], 0.0f);
    EXPECT_EQ(out[i * 4 + 2], -0.5f);
    EXPECT_EQ(out[i * 4 + 3], 0.0f);
  }
}

TEST(EngineMixer, NoWriterMeansSilenceNotTheLastCyclesAudio) {
  FakeEndpoint writer("w", nullptr, 0.75f), declines("d", nullptr, 0, 0);
  auto mixer = MakeMixer(48000, 48000);
  mixer->AppendRenderEndpoint(1, &writer);
  std::vector<float> out(48 * 4);
  mixer->RenderCycle(48, out.data());
  ASSERT_TRUE(mixer->RemoveEndpoint(&writer));
  mixer->AppendRenderEndpoint(1, &declines);
  mixer->RenderCycle(48, out.data());
  mixer->RenderCycle(48, out.data());
  for (size_t i = 0; i < 48; ++i) EXPECT_EQ(out[i * 4 + 1], 0.0f);
}

// A restart forgets the old audio: nothing of it reaches the next request.
TEST(EngineMixer, RestartClearsTheHistories) {
  FakeEndpoint loud("loud", nullptr, 1.0f);
  auto mixer = MakeMixer(44100, 48000);
  mixer->AppendRenderEndpoint(0, &loud);
  std::vector<float> out(48 * 4);
  std::vector<float> in(48 * 10, 1.0f);
  mixer->RenderCycle(48, out.data());
  mixer->CaptureCycle(in.data(), 48);
  mixer->RemoveEndpoint(&loud);
  mixer->ResetResamplers();
  EXPECT_EQ(mixer->RenderResampler().Phase(), 0u);
  mixer->RenderCycle(48, out.data());
  for (float x : out) ASSERT_EQ(x, 0.0f);
}

TEST(EngineMixer, CaptureHandsEachChannelToEveryEndpointOfItsList) {
  FakeEndpoint a("a", nullptr), b("b", nullptr), c("c", nullptr);
  auto mixer = MakeMixer(48000, 48000);
  mixer->AppendCaptureEndpoint(3, &a);
  mixer->AppendCaptureEndpoint(3, &b);
  mixer->AppendCaptureEndpoint(9, &c);
  std::vector<float> in(48 * 10);
  for (size_t i = 0; i < 48; ++i) {
    for (size_t ch = 0; ch < 10; ++ch) in[i * 10 + ch] = static_cast<float>(i * 100 + ch);
  }
  EXPECT_EQ(mixer->CaptureCycle(in.data(), 48), 48u);
  ASSERT_EQ(a.captured.size(), 48u);
  EXPECT_EQ(a.captured, b.captured);
  for (size_t i = 3; i < 48; ++i) {
    EXPECT_EQ(a.captured[i], in[(i - 3) * 10 + 3]);
    EXPECT_EQ(c.captured[i], in[(i - 3) * 10 + 9]);
  }
}

TEST(EngineMixer, CaptureOfNoFramesStillCallsTheEndpoints) {
  std::vector<std::string> log;
  FakeEndpoint a("a", &log);
  auto mixer = MakeMixer(44100, 48000);
  mixer->AppendCaptureEndpoint(0, &a);
  EXPECT_EQ(mixer->CaptureCycle(nullptr, 0), 0u);
  EXPECT_EQ(log, std::vector<std::string>{"a capture 0"});
}

TEST(EngineMixer, BeginAndAdvanceVisitCaptureListsThenRenderLists) {
  std::vector<std::string> log;
  FakeEndpoint r0("r0", &log), r3("r3", &log), c0("c0", &log), c9a("c9a", &log),
      c9b("c9b", &log);
  auto mixer = MakeMixer(44100, 48000);
  mixer->AppendRenderEndpoint(0, &r0);
  mixer->AppendRenderEndpoint(3, &r3);
  mixer->AppendCaptureEndpoint(9, &c9a);
  mixer->AppendCaptureEndpoint(0, &c0);
  mixer->AppendCaptureEndpoint(9, &c9b);
  mixer->BeginCycle(1234);
  mixer->Advance(45, 44);
  EXPECT_EQ(mixer->CycleStartFrame(), 1234u);
  const std::vector<std::string> expected = {
      "c0 begin 0",    "c9a begin 0",   "c9b begin 0",   "r0 begin 0",   "r3 begin 0",
      "c0 advance 44", "c9a advance 44", "c9b advance 44", "r0 advance 45", "r3 advance 45"};
  EXPECT_EQ(log, expected);
}

TEST(EngineMixer, ZeroRateSetsBothResamplersTo44100Identity) {
  auto mixer = MakeMixer(0, 48000);
  for (const CPolyphaseResampler* r : {&mixer->RenderResampler(), &mixer->CaptureResampler()}) {
    EXPECT_EQ(r->FromRate(), 44100u);
    EXPECT_EQ(r->ToRate(), 44100u);
    EXPECT_EQ(r->PhaseCount(), 1u);
    EXPECT_EQ(r->Step(), 1u);
  }
}

// A request far longer than any real one fills what the mix buffer allows
// and pads the rest with silence instead of overrunning.
TEST(EngineMixer, OversizedRenderRequestStaysInsideTheMixBuffer) {
  FakeEndpoint loud("loud", nullptr, 1.0f);
  auto mixer = MakeMixer(192000, 48000);
  mixer->AppendRenderEndpoint(0, &loud);
  const ULONG n = 4000;
  std::vector<float> out(n * 4, 9.0f);
  const ULONG m = mixer->RenderCycle(n, out.data());
  EXPECT_LE(m, CEngineMixer::kMixBufferFrames);
  EXPECT_GT(m, CEngineMixer::kMixBufferFrames - 4);
  EXPECT_EQ(out[(n - 1) * 4], 0.0f);
}

// The mixer lives in pool memory, as inside the device context; its cycles
// must not allocate more.
TEST(EngineMixer, CyclesAllocateNothing) {
  sim::Machine machine;
  constexpr ULONG kTag = 'xiMT';
  void* memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(CEngineMixer), kTag);
  ASSERT_NE(memory, nullptr);
  auto* mixer = new (memory) CEngineMixer;
  mixer->Initialize();
  mixer->SetupResamplers(44100, 48000);
  FakeEndpoint render("r", nullptr, 0.5f), capture("c", nullptr);
  mixer->AppendRenderEndpoint(0, &render);
  mixer->AppendCaptureEndpoint(0, &capture);
  std::vector<float> out(48 * 4), in(48 * 10, 0.25f);
  const uint64_t before = machine.pool().allocationCount();
  for (ULONG cycle = 0; cycle < 1000; ++cycle) {
    mixer->BeginCycle(cycle);
    const ULONG k = mixer->CaptureCycle(in.data(), 48);
    const ULONG m = mixer->RenderCycle(48, out.data());
    mixer->Advance(m, k);
  }
  EXPECT_EQ(machine.pool().allocationCount(), before);
  ExFreePoolWithTag(memory, kTag);
}

}  // namespace
