#include "sim/unit/crystal.h"

#include <cmath>
#include <stdexcept>

#include "sim/unit/descriptors.h"

namespace sim::unit {
namespace {

constexpr uint64_t kMicroframesPerSecond = 8000;

uint64_t UnitsPerMicroframe(double ppm, uint64_t scale) {
  if (!(ppm > -1e5 && ppm < 1e5)) throw std::invalid_argument("crystal error out of range");
  const long double perMicroframe =
      static_cast<long double>(kBusRate) / kMicroframesPerSecond * (1.0L + ppm / 1e6L);
  return static_cast<uint64_t>(std::llround(perMicroframe * scale));
}

}  // namespace

Crystal::Crystal(double ppm) : ppm_(ppm), unitsPerMicroframe_(UnitsPerMicroframe(ppm, kScale)) {}

void Crystal::SetError(double ppm, uint64_t microframe) {
  const uint64_t units = UnitsPerMicroframe(ppm, kScale);
  if (microframe < baseMicroframe_) throw std::logic_error("crystal error set in the past");
  baseUnits_ += (microframe - baseMicroframe_) * unitsPerMicroframe_;
  baseMicroframe_ = microframe;
  unitsPerMicroframe_ = units;
  ppm_ = ppm;
}

uint64_t Crystal::FramesBefore(uint64_t microframe) const {
  if (microframe < baseMicroframe_) throw std::logic_error("crystal asked about the past");
  const unsigned __int128 units =
      static_cast<unsigned __int128>(microframe - baseMicroframe_) * unitsPerMicroframe_ + baseUnits_;
  return static_cast<uint64_t>(units / kScale);
}

}  // namespace sim::unit
