// Quality of a resampler on test tones, measured on its own output.
#pragma once

#include "bench/signal-path/peer_resamplers.h"

namespace bench {

struct Quality {
  double sinad1k;   // SNR+THD of a full-scale 1 kHz sine, dB
  double sinad15k;  // the same at 15 kHz
  double alias23k;  // level of a full-scale 23 kHz tone's alias, dB (downsampling to 44.1 kHz)
  bool hasAlias;
};

Quality MeasureQuality(const Candidate& candidate, const Conversion& conversion);

}  // namespace bench
