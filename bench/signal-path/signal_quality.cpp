#include "bench/signal-path/signal_quality.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace bench {
namespace {

constexpr int kSeconds = 2;

std::vector<float> Resampled(const Candidate& candidate, const Conversion& c, double frequency) {
  std::vector<float> input((size_t{c.fromRate} * kSeconds + 4096) * c.channels);
  for (size_t i = 0; i < input.size() / c.channels; ++i) {
    const float s = static_cast<float>(std::sin(2 * std::numbers::pi * frequency * i / c.fromRate));
    for (unsigned ch = 0; ch < c.channels; ++ch) input[i * c.channels + ch] = s;
  }
  auto resampler = candidate.make(c);
  std::vector<float> output;
  std::vector<float> second(OutputCapacity(c));
  for (int s = 0; s < kSeconds; ++s) {
    const size_t frames =
        resampler->ConvertSecond(input.data() + size_t{c.fromRate} * s * c.channels, second.data());
    output.insert(output.end(), second.begin(), second.begin() + frames * c.channels);
  }
  return output;
}

struct Fit {
  double amplitude;
  double sinadDb;
};

// Least squares over the last second: a sine at `frequency` with any phase,
// plus DC; the residual is noise and distortion. The phase reference moves
// with the output, so a resampler's delay does not matter.
Fit FitTone(const std::vector<float>& out, unsigned channels, unsigned channel, unsigned rate,
            double frequency) {
  const size_t frames = out.size() / channels;
  const size_t from = frames > rate ? frames - rate : 0;
  double m[3][3] = {}, v[3] = {};
  for (size_t i = from; i < frames; ++i) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / rate;
    const double basis[3] = {std::sin(w), std::cos(w), 1.0};
    const double y = out[i * channels + channel];
    for (int r = 0; r < 3; ++r) {
      for (int k = 0; k < 3; ++k) m[r][k] += basis[r] * basis[k];
      v[r] += basis[r] * y;
    }
  }
  // Solve the 3x3 normal equations by Cramer's rule.
  auto det3 = [](const double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det3(m);
  double coefficient[3];
  for (int k = 0; k < 3; ++k) {
    double t[3][3];
    for (int r = 0; r < 3; ++r) {
      for (int j = 0; j < 3; ++j) t[r][j] = j == k ? v[r] : m[r][j];
    }
    coefficient[k] = det3(t) / d;
  }
  // The residual is summed directly: subtracting sums of squares would lose
  // it to rounding for the cleanest resamplers.
  double tone = 0, residual = 0;
  for (size_t i = from; i < frames; ++i) {
    const double w = 2 * std::numbers::pi * frequency * static_cast<double>(i) / rate;
    const double fitted = coefficient[0] * std::sin(w) + coefficient[1] * std::cos(w);
    const double e = out[i * channels + channel] - fitted - coefficient[2];
    tone += fitted * fitted;
    residual += e * e;
  }
  return {std::hypot(coefficient[0], coefficient[1]),
          10 * std::log10(tone / std::max(residual, 1e-30))};
}

double WorstSinad(const Candidate& candidate, const Conversion& c, double frequency) {
  const std::vector<float> out = Resampled(candidate, c, frequency);
  double worst = 1e9;
  for (unsigned ch = 0; ch < c.channels; ++ch) {
    worst = std::min(worst, FitTone(out, c.channels, ch, c.toRate, frequency).sinadDb);
  }
  return worst;
}

}  // namespace

Quality MeasureQuality(const Candidate& candidate, const Conversion& c) {
  Quality q = {};
  q.sinad1k = WorstSinad(candidate, c, 1000);
  q.sinad15k = WorstSinad(candidate, c, 15000);
  q.hasAlias = c.fromRate == 48000 && c.toRate == 44100;
  if (q.hasAlias) {
    const std::vector<float> out = Resampled(candidate, c, 23000);
    const double alias = 44100.0 - 23000.0;
    const double amplitude = FitTone(out, c.channels, 0, c.toRate, alias).amplitude;
    q.alias23k = 20 * std::log10(std::max(amplitude, 1e-12));
  }
  return q;
}

}  // namespace bench
