// The unit's 48 kHz sample clock, seen from the bus: how many frames the
// converters clock during each 125-us microframe. The error in ppm makes the
// count 5, 6 or 7 as the accumulated fraction says; the count is exact
// integer arithmetic, so long runs drift by nothing but the error itself.
#pragma once

#include <cstdint>

namespace sim::unit {

class Crystal {
 public:
  explicit Crystal(double ppm = 0.0);

  // Changes the error from `microframe` on; earlier counts stay as they were.
  void SetError(double ppm, uint64_t microframe);
  double error() const { return ppm_; }

  // Frames clocked before `microframe` (microframes counted from 0).
  uint64_t FramesBefore(uint64_t microframe) const;
  uint32_t FramesIn(uint64_t microframe) const {
    return static_cast<uint32_t>(FramesBefore(microframe + 1) - FramesBefore(microframe));
  }

 private:
  static constexpr uint64_t kScale = 1'000'000'000;  // frame units per frame

  double ppm_;
  uint64_t unitsPerMicroframe_;  // frames per microframe × kScale
  uint64_t baseMicroframe_ = 0;
  uint64_t baseUnits_ = 0;  // frame units clocked before baseMicroframe_
};

}  // namespace sim::unit
