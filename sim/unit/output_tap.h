// A probe on one output channel: every sample that arrived in OUT packets,
// kept in memory or written to a WAV file, and the microframes in which the
// running stream brought no packet.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/unit/wav.h"

namespace sim::unit {

class OutputTap {
 public:
  OutputTap() = default;  // to memory
  explicit OutputTap(const std::string& wavPath);

  void Record(float sample);
  void CountUnderrun() { ++underruns_; }
  // Finishes a WAV file; a memory tap is unaffected.
  void Close();

  const std::vector<float>& samples() const { return samples_; }
  uint64_t recorded() const { return recorded_; }
  uint64_t underruns() const { return underruns_; }

 private:
  std::unique_ptr<WavWriter> wav_;
  std::vector<float> samples_;
  std::vector<float> pending_;  // batched for the file
  uint64_t recorded_ = 0;
  uint64_t underruns_ = 0;
};

}  // namespace sim::unit
