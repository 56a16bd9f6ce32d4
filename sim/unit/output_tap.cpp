#include "sim/unit/output_tap.h"

#include "sim/unit/descriptors.h"

namespace sim::unit {
namespace {
constexpr size_t kWavBatch = 4096;
}

OutputTap::OutputTap(const std::string& wavPath)
    : wav_(std::make_unique<WavWriter>(wavPath, static_cast<int>(kBusRate))) {}

void OutputTap::Record(float sample) {
  ++recorded_;
  if (!wav_) {
    samples_.push_back(sample);
    return;
  }
  pending_.push_back(sample);
  if (pending_.size() >= kWavBatch) {
    wav_->Write(pending_.data(), pending_.size());
    pending_.clear();
  }
}

void OutputTap::Close() {
  if (!wav_) return;
  if (!pending_.empty()) wav_->Write(pending_.data(), pending_.size());
  pending_.clear();
  wav_->Close();
}

}  // namespace sim::unit
