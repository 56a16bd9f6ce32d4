#include "driver/engine/filter_bank.h"

#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "driver/engine/kaiser_design.h"

namespace {

// The design rule, evaluated independently of the table generator: the
// library's Bessel function instead of a power series.
double KaiserBeta(double a) {
  return a > 50 ? 0.1102 * (a - 8.7) : 0.5842 * std::pow(a - 21, 0.4) + 0.07886 * (a - 21);
}

double ReferenceCoefficient(const KAISER_DESIGN& d, unsigned k) {
  const unsigned m = (d.TapCount - 1) / 2;
  const double x = d.Cutoff * k / d.PhaseCount;
  const double sinc = k == 0 ? 1.0 : std::sin(std::numbers::pi * x) / (std::numbers::pi * x);
  const double r = static_cast<double>(k) / m;
  const double beta = KaiserBeta(d.Attenuation);
  return d.Cutoff * sinc * std::cyl_bessel_i(0.0, beta * std::sqrt(1 - r * r)) /
         std::cyl_bessel_i(0.0, beta);
}

TEST(KaiserBeta, MatchesTheQuotedValues) {
  EXPECT_NEAR(KaiserBeta(50), 4.5335, 1e-4);
  EXPECT_NEAR(KaiserBeta(55), 5.1023, 1e-4);
  EXPECT_NEAR(KaiserBeta(60), 5.6533, 1e-4);
  EXPECT_NEAR(KaiserBeta(70), 6.7553, 1e-4);
}

class KaiserCell : public testing::TestWithParam<KAISER_DESIGN> {};

TEST_P(KaiserCell, EveryCoefficientFollowsTheRule) {
  const KAISER_DESIGN& d = GetParam();
  const FILTER_KERNEL* kernel = SelectKernel(d.FromRate, d.ToRate);
  ASSERT_EQ(kernel->PhaseCount, d.PhaseCount);
  ASSERT_EQ(kernel->TapCount, d.TapCount);
  const unsigned m = (d.TapCount - 1) / 2;
  double worst = 0;
  for (unsigned k = 0; k <= m; ++k) {
    worst = std::max(worst, std::abs(kernel->Coefficients[k] - ReferenceCoefficient(d, k)));
  }
  EXPECT_LE(worst, 5e-7) << d.FromRate << " -> " << d.ToRate;
}

TEST_P(KaiserCell, DelayIsHalfTheTapsInInputFramesPlusOne) {
  const KAISER_DESIGN& d = GetParam();
  EXPECT_EQ(KernelDelay(d.FromRate, d.ToRate), ((d.TapCount - 1) / 2) / d.PhaseCount + 1);
}

INSTANTIATE_TEST_SUITE_P(Bank, KaiserCell, testing::ValuesIn(kKaiserDesigns),
                         [](const testing::TestParamInfo<KAISER_DESIGN>& info) {
                           return std::to_string(info.param.FromRate) + "_to_" +
                                  std::to_string(info.param.ToRate);
                         });

TEST(FilterBank, DiagonalIsTheIdentityKernel) {
  for (ULONG rate : kBankRates) {
    const FILTER_KERNEL* k = SelectKernel(rate, rate);
    EXPECT_EQ(k, &g_IdentityKernel);
    EXPECT_EQ(KernelDelay(rate, rate), 3u);
  }
  EXPECT_EQ(g_IdentityKernel.PhaseCount, 1u);
  EXPECT_EQ(g_IdentityKernel.TapCount, 5u);
  EXPECT_EQ(g_IdentityKernel.Coefficients[0], 1.0f);
  EXPECT_EQ(g_IdentityKernel.Coefficients[1], 0.0f);
}

TEST(FilterBank, OtherRatesUseThe44100RowOrColumn) {
  for (ULONG other : {32000u, 176400u, 352800u, 384000u, 0u}) {
    EXPECT_EQ(SelectKernel(other, 48000), SelectKernel(44100, 48000)) << other;
    EXPECT_EQ(SelectKernel(48000, other), SelectKernel(48000, 44100)) << other;
    EXPECT_EQ(SelectKernel(other, 44100), &g_IdentityKernel) << other;
  }
  EXPECT_EQ(KernelDelay(44100, 48000), 17u);
}

}  // namespace
