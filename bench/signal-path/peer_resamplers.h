// Every resampler under comparison behind one interface: interleaved float
// frames in, interleaved float frames out, fed one 1 ms request at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace bench {

struct Conversion {
  unsigned fromRate;
  unsigned toRate;
  unsigned channels;
};

class Resampler {
 public:
  virtual ~Resampler() = default;
  // Converts one second of `input` (fromRate frames) in 1 ms requests into
  // `output`; returns the frames produced.
  virtual size_t ConvertSecond(const float* input, float* output) = 0;
};

struct Candidate {
  std::string name;  // as it appears in the benchmark name
  std::unique_ptr<Resampler> (*make)(const Conversion&);
};

// Ours first (AVX2 where present, then the SSE2 baseline), then the peers.
const std::vector<Candidate>& Candidates();

// Room for one second of output plus whatever a peer may hold back.
size_t OutputCapacity(const Conversion& c);

}  // namespace bench
