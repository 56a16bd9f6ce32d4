// WAV files through libsndfile: reading one channel as float, writing a mono
// 32-bit float file frame by frame.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

typedef struct sf_private_tag SNDFILE;

namespace sim::unit {

struct WavChannel {
  std::vector<float> samples;
  int sampleRate = 0;
};

// Throws std::runtime_error when the file cannot be read or has no such channel.
WavChannel ReadWavChannel(const std::string& path, unsigned channel);

class WavWriter {
 public:
  WavWriter(const std::string& path, int sampleRate);
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  void Write(const float* samples, size_t count);
  // Completes the header; later writes are refused.
  void Close();

 private:
  std::string path_;
  SNDFILE* file_ = nullptr;
};

}  // namespace sim::unit
