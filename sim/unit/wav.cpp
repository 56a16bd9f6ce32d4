#include "sim/unit/wav.h"

#include <stdexcept>

#include <sndfile.h>

namespace sim::unit {

WavChannel ReadWavChannel(const std::string& path, unsigned channel) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr)
    throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
  if (channel >= static_cast<unsigned>(info.channels)) {
    sf_close(file);
    throw std::runtime_error(path + " has no channel " + std::to_string(channel));
  }
  std::vector<float> interleaved(static_cast<size_t>(info.frames) * info.channels);
  const sf_count_t frames = sf_readf_float(file, interleaved.data(), info.frames);
  sf_close(file);

  WavChannel result;
  result.sampleRate = info.samplerate;
  result.samples.reserve(static_cast<size_t>(frames));
  for (sf_count_t frame = 0; frame < frames; ++frame)
    result.samples.push_back(interleaved[static_cast<size_t>(frame) * info.channels + channel]);
  return result;
}

WavWriter::WavWriter(const std::string& path, int sampleRate) : path_(path) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  file_ = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file_ == nullptr)
    throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
}

WavWriter::~WavWriter() { Close(); }

void WavWriter::Write(const float* samples, size_t count) {
  if (file_ == nullptr) throw std::logic_error(path_ + " is already closed");
  if (sf_write_float(file_, samples, static_cast<sf_count_t>(count)) !=
      static_cast<sf_count_t>(count))
    throw std::runtime_error("short write to " + path_ + ": " + sf_strerror(file_));
}

void WavWriter::Close() {
  if (file_ != nullptr) sf_close(file_);
  file_ = nullptr;
}

}  // namespace sim::unit
