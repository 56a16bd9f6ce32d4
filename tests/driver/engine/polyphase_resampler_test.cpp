#include "driver/engine/polyphase_resampler.h"

#include <xmmintrin.h>

#include <cmath>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "driver/engine/kaiser_design.h"

namespace {

using Frames = std::vector<float>;  // interleaved

std::unique_ptr<CPolyphaseResampler> MakeResampler(ULONG from, ULONG to, ULONG channels) {
  auto r = std::make_unique<CPolyphaseResampler>();
  r->Setup(from, to, SelectKernel(from, to), channels);
  return r;
}

// Output-driven, as the render side runs: about 1 ms of output per call.
Frames RunRender(CPolyphaseResampler& r, const Frames& input, size_t outputFrames) {
  const ULONG channels = r.Channels();
  const ULONG perCall = r.ToRate() / 1000;
  Frames out(outputFrames * channels);
  size_t consumed = 0;
  size_t done = 0;
  for (; done + perCall <= outputFrames; done += perCall) {
    const ULONG need = r.TakeInputFrames(perCall);
    EXPECT_LE((consumed + need) * channels, input.size());
    r.RenderFrames(input.data() + consumed * channels, perCall, out.data() + done * channels);
    consumed += need;
  }
  out.resize(done * channels);
  return out;
}

// Input-driven, as the capture side runs: about 1 ms of input per call.
Frames RunCapture(CPolyphaseResampler& r, const Frames& input) {
  const ULONG channels = r.Channels();
  const ULONG perCall = r.FromRate() / 1000;
  const size_t inputFrames = input.size() / channels;
  Frames out;
  Frames chunk((perCall * 8 + 8) * channels);
  for (size_t at = 0; at + perCall <= inputFrames; at += perCall) {
    const ULONG k = r.CaptureFrames(input.data() + at * channels, perCall, chunk.data(),
                                    static_cast<ULONG>(chunk.size() / channels));
    out.insert(out.end(), chunk.begin(), chunk.begin() + k * channels);
  }
  return out;
}

Frames Sines(ULONG rate, double frequency, size_t frames, ULONG channels) {
  Frames f(frames * channels);
  for (size_t i = 0; i < frames; ++i) {
    const double s = std::sin(2 * std::numbers::pi * frequency * i / rate);
    for (ULONG c = 0; c < channels; ++c) f[i * channels + c] = static_cast<float>(s * 0.9 / (c + 1));
  }
  return f;
}

struct SineFit {
  double amplitude;
  double snrDb;
};

// Least-squares fit of a sine at the expected frequency: a tone that came out
// at another frequency fits with almost no amplitude.
SineFit FitSine(const Frames& f, ULONG channels, ULONG channel, ULONG rate, double frequency,
                size_t skip) {
  double sc = 0, ss = 0, cc = 0, ys = 0, yc = 0, yy = 0;
  const size_t frames = f.size() / channels;
  for (size_t i = skip; i < frames; ++i) {
    const double w = 2 * std::numbers::pi * frequency * i / rate;
    const double s = std::sin(w), c = std::cos(w), y = f[i * channels + channel];
    ss += s * s; cc += c * c; sc += s * c; ys += y * s; yc += y * c; yy += y * y;
  }
  const double det = ss * cc - sc * sc;
  const double a = (ys * cc - yc * sc) / det;
  const double b = (yc * ss - ys * sc) / det;
  const double signal = a * ys + b * yc;
  const double noise = std::max(yy - signal, 1e-30);
  return {std::hypot(a, b), 10 * std::log10(signal / noise)};
}

class ResampledSine : public testing::TestWithParam<KAISER_DESIGN> {
 protected:
  void Check(const Frames& out, ULONG channels, ULONG rate, double frequency) {
    const KAISER_DESIGN& d = GetParam();
    const double ripple = 2 * std::pow(10.0, -d.Attenuation / 20);
    for (ULONG c = 0; c < channels; ++c) {
      const SineFit fit = FitSine(out, channels, c, rate, frequency, rate / 20);
      const double expected = 0.9 / (c + 1);
      EXPECT_NEAR(fit.amplitude / expected, 1.0, ripple) << "channel " << c << " at " << frequency;
      EXPECT_GT(fit.snrDb, d.Attenuation - 12) << "channel " << c << " at " << frequency;
    }
  }
};

TEST_P(ResampledSine, RenderKeepsFrequencyAndLevel) {
  const KAISER_DESIGN& d = GetParam();
  for (double frequency : {1000.0, 10000.0}) {
    auto r = MakeResampler(d.FromRate, d.ToRate, 4);
    const size_t outFrames = d.ToRate / 4;
    const Frames in = Sines(d.FromRate, frequency, d.FromRate / 4 + 1000, 4);
    Check(RunRender(*r, in, outFrames), 4, d.ToRate, frequency);
  }
}

TEST_P(ResampledSine, CaptureKeepsFrequencyAndLevel) {
  const KAISER_DESIGN& d = GetParam();
  for (double frequency : {1000.0, 10000.0}) {
    auto r = MakeResampler(d.FromRate, d.ToRate, 10);
    const Frames in = Sines(d.FromRate, frequency, d.FromRate / 4, 10);
    Check(RunCapture(*r, in), 10, d.ToRate, frequency);
  }
}

INSTANTIATE_TEST_SUITE_P(Bank, ResampledSine, testing::ValuesIn(kKaiserDesigns),
                         [](const testing::TestParamInfo<KAISER_DESIGN>& info) {
                           return std::to_string(info.param.FromRate) + "_to_" +
                                  std::to_string(info.param.ToRate);
                         });

TEST(PolyphaseResampler, IdentityOutputIsTheFrameTwoBeforeTheNewest) {
  auto r = MakeResampler(48000, 48000, 4);
  EXPECT_EQ(r->TapsPerSide(), 2u);
  Frames in(64 * 4);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i + 1);
  const Frames out = RunRender(*r, in, 48);
  // Output i is filtered before input i is pushed: h[2] is input i - 3.
  for (size_t i = 0; i < 48; ++i) {
    for (size_t c = 0; c < 4; ++c) {
      const float expected = i < 3 ? 0.0f : in[(i - 3) * 4 + c];
      ASSERT_EQ(out[i * 4 + c], expected) << i;
    }
  }
}

TEST(PolyphaseResampler, KernelWithZeroCentreGivesSilence) {
  const FLOAT coefficients[] = {0.0f, 0.5f, 0.25f, 0.125f};
  const FILTER_KERNEL kernel = {1, 7, coefficients};
  CPolyphaseResampler r;
  r.Setup(48000, 48000, &kernel, 4);
  Frames in(64 * 4, 1.0f);
  Frames out(48 * 4, 9.0f);
  EXPECT_EQ(r.TakeInputFrames(48), 48u);
  r.RenderFrames(in.data(), 48, out.data());
  for (float x : out) ASSERT_EQ(x, 0.0f);
}

TEST(PolyphaseResampler, KernelCopyEndsWithZero) {
  auto r = MakeResampler(44100, 48000, 4);
  const FILTER_KERNEL* k = SelectKernel(44100, 48000);
  const ULONG m = (k->TapCount - 1) / 2;
  ASSERT_EQ(r->KernelCopyLength(), m + 1);
  EXPECT_EQ(r->KernelCopy()[m - 1], k->Coefficients[m - 1]);
  EXPECT_NE(k->Coefficients[m], 0.0f);
  EXPECT_EQ(r->KernelCopy()[m], 0.0f);
  EXPECT_EQ(r->Step(), 294u);
  EXPECT_EQ(r->TapsPerSide(), 16u);
}

// A new kernel with fewer phases must not inherit a phase beyond its range.
TEST(PolyphaseResampler, SetupStartsAtPhaseZero) {
  auto r = MakeResampler(44100, 48000, 4);
  const Frames in = Sines(44100, 1000, 2000, 4);
  Frames out(4);
  r->RenderFrames(in.data(), 1, out.data());
  ASSERT_EQ(r->Phase(), 294u);
  r->Setup(48000, 44100, SelectKernel(48000, 44100), 4);
  EXPECT_EQ(r->Phase(), 0u);
  EXPECT_EQ(r->Accumulator(), 0u);
}

TEST(PolyphaseResampler, BaselineAndAvx2LoopsAgree) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> noise(-1, 1);
  for (ULONG channels : {4u, 10u, 6u}) {
    Frames in(20000 * channels);
    for (float& x : in) x = noise(rng);
    auto wide = MakeResampler(48000, 44100, channels);
    auto base = MakeResampler(48000, 44100, channels);
    base->ForceBaseline(true);
    const Frames a = RunCapture(*wide, in);
    const Frames b = RunCapture(*base, in);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(a[i], b[i], 2e-6) << channels << " " << i;

    auto wideUp = MakeResampler(44100, 48000, channels);
    auto baseUp = MakeResampler(44100, 48000, channels);
    baseUp->ForceBaseline(true);
    const Frames c = RunRender(*wideUp, in, 4800);
    const Frames d = RunRender(*baseUp, in, 4800);
    for (size_t i = 0; i < c.size(); ++i) ASSERT_NEAR(c[i], d[i], 2e-6) << channels << " " << i;
  }
}

// With every exception unmasked, an overflowing filter must neither trap
// nor leave the caller's floating-point setting changed; denormal input is
// read as zero.
TEST(PolyphaseResampler, FilterRunsFlushedAndMaskedAndRestoresTheSetting) {
  auto r = MakeResampler(44100, 48000, 4);
  Frames huge(200 * 4, 3e38f);
  Frames out(48 * 4);
  const unsigned saved = _mm_getcsr();
  const unsigned unmasked = saved & ~0x1F80u;
  _mm_setcsr(unmasked);
  const ULONG need = r->TakeInputFrames(48);
  r->RenderFrames(huge.data(), 48, out.data());
  const unsigned after = _mm_getcsr();
  _mm_setcsr(saved);
  EXPECT_EQ(after & ~0x3Fu, unmasked & ~0x3Fu);  // status flags aside
  EXPECT_LE(need, 200u);

  auto d = MakeResampler(48000, 48000, 4);
  Frames denormal(64 * 4, 1e-40f);
  Frames quiet(48 * 4, 1.0f);
  d->TakeInputFrames(48);
  d->RenderFrames(denormal.data(), 48, quiet.data());
  for (float x : quiet) ASSERT_EQ(x, 0.0f);
}

}  // namespace
