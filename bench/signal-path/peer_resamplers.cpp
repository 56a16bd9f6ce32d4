#include "bench/signal-path/peer_resamplers.h"

#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>
#include <zita-resampler/resampler.h>

#include <stdexcept>

#include "driver/engine/polyphase_resampler.h"

namespace bench {
namespace {

// Splits one second of input into 1 ms requests whose lengths sum exactly
// to the rate (44100 Hz: 44 or 45 frames).
template <class Step>
size_t InputDriven(const Conversion& c, const float* input, float* output, Step step) {
  size_t produced = 0;
  unsigned consumed = 0;
  for (unsigned ms = 1; ms <= 1000; ++ms) {
    const unsigned until = static_cast<unsigned>(static_cast<unsigned long long>(c.fromRate) * ms / 1000);
    produced += step(input + size_t{consumed} * c.channels, until - consumed,
                     output + produced * c.channels);
    consumed = until;
  }
  return produced;
}

// Ours in the render direction: the engine asks for one request of bus
// frames and consumes what the accumulator says.
class OursRender final : public Resampler {
 public:
  OursRender(const Conversion& c, bool baseline) : c_(c) {
    r_->ForceBaseline(baseline);
    r_->Setup(c.fromRate, c.toRate, SelectKernel(c.fromRate, c.toRate), c.channels);
  }
  size_t ConvertSecond(const float* input, float* output) override {
    size_t produced = 0;
    for (unsigned ms = 1; ms <= 1000; ++ms) {
      const unsigned until = static_cast<unsigned>(static_cast<unsigned long long>(c_.toRate) * ms / 1000);
      const ULONG n = static_cast<ULONG>(until - produced);
      const ULONG m = r_->TakeInputFrames(n);
      r_->RenderFrames(input, n, output + produced * c_.channels);
      input += size_t{m} * c_.channels;
      produced = until;
    }
    return produced;
  }

 private:
  Conversion c_;
  std::unique_ptr<CPolyphaseResampler> r_ = std::make_unique<CPolyphaseResampler>();
};

// Ours in the capture direction: one request of bus frames in.
class OursCapture final : public Resampler {
 public:
  OursCapture(const Conversion& c, bool baseline) : c_(c) {
    r_->ForceBaseline(baseline);
    r_->Setup(c.fromRate, c.toRate, SelectKernel(c.fromRate, c.toRate), c.channels);
  }
  size_t ConvertSecond(const float* input, float* output) override {
    return InputDriven(c_, input, output, [&](const float* in, unsigned frames, float* out) {
      return r_->CaptureFrames(in, frames, out, 1024);
    });
  }

 private:
  Conversion c_;
  std::unique_ptr<CPolyphaseResampler> r_ = std::make_unique<CPolyphaseResampler>();
};

// The engine upsamples on the render side and downsamples on the capture
// side; each direction is measured the way the engine drives it.
std::unique_ptr<Resampler> MakeOurs(const Conversion& c, bool baseline) {
  if (c.toRate > c.fromRate) return std::make_unique<OursRender>(c, baseline);
  return std::make_unique<OursCapture>(c, baseline);
}

class Soxr final : public Resampler {
 public:
  Soxr(const Conversion& c, unsigned long recipe) : c_(c) {
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(recipe, 0);
    s_ = soxr_create(c.fromRate, c.toRate, c.channels, &error, &io, &quality, nullptr);
    if (error) throw std::runtime_error(error);
  }
  ~Soxr() override { soxr_delete(s_); }
  size_t ConvertSecond(const float* input, float* output) override {
    return InputDriven(c_, input, output, [&](const float* in, unsigned frames, float* out) {
      size_t used = 0, done = 0;
      soxr_process(s_, in, frames, &used, out, 4 * frames + 64, &done);
      return done;
    });
  }

 private:
  Conversion c_;
  soxr_t s_;
};

class LibSamplerate final : public Resampler {
 public:
  LibSamplerate(const Conversion& c, int type) : c_(c) {
    int error = 0;
    s_ = src_new(type, static_cast<int>(c.channels), &error);
    if (!s_) throw std::runtime_error(src_strerror(error));
  }
  ~LibSamplerate() override { src_delete(s_); }
  size_t ConvertSecond(const float* input, float* output) override {
    return InputDriven(c_, input, output, [&](const float* in, unsigned frames, float* out) {
      SRC_DATA d = {};
      d.data_in = in;
      d.data_out = out;
      d.input_frames = frames;
      d.output_frames = 4 * frames + 64;
      d.src_ratio = static_cast<double>(c_.toRate) / c_.fromRate;
      src_process(s_, &d);
      return static_cast<size_t>(d.output_frames_gen);
    });
  }

 private:
  Conversion c_;
  SRC_STATE* s_;
};

class Speex final : public Resampler {
 public:
  Speex(const Conversion& c, int quality) : c_(c) {
    int error = 0;
    s_ = speex_resampler_init(c.channels, c.fromRate, c.toRate, quality, &error);
    if (!s_) throw std::runtime_error("speex_resampler_init");
  }
  ~Speex() override { speex_resampler_destroy(s_); }
  size_t ConvertSecond(const float* input, float* output) override {
    return InputDriven(c_, input, output, [&](const float* in, unsigned frames, float* out) {
      spx_uint32_t inLength = frames, outLength = 4 * frames + 64;
      speex_resampler_process_interleaved_float(s_, in, &inLength, out, &outLength);
      return static_cast<size_t>(outLength);
    });
  }

 private:
  Conversion c_;
  SpeexResamplerState* s_;
};

class Zita final : public Resampler {
 public:
  Zita(const Conversion& c, unsigned halfLength) : c_(c) {
    if (r_.setup(c.fromRate, c.toRate, c.channels, halfLength) != 0) {
      throw std::runtime_error("zita setup");
    }
  }
  size_t ConvertSecond(const float* input, float* output) override {
    return InputDriven(c_, input, output, [&](const float* in, unsigned frames, float* out) {
      const unsigned capacity = 4 * frames + 64;
      r_.inp_count = frames;
      r_.inp_data = const_cast<float*>(in);
      r_.out_count = capacity;
      r_.out_data = out;
      r_.process();
      return static_cast<size_t>(capacity - r_.out_count);
    });
  }

 private:
  Conversion c_;
  ::Resampler r_;
};

}  // namespace

size_t OutputCapacity(const Conversion& c) { return (size_t{c.toRate} + 4096) * c.channels; }

const std::vector<Candidate>& Candidates() {
  static const std::vector<Candidate> candidates = {
      {"ours", [](const Conversion& c) { return MakeOurs(c, false); }},
      {"ours_sse2", [](const Conversion& c) { return MakeOurs(c, true); }},
      {"soxr_LQ", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<Soxr>(c, SOXR_LQ);
       }},
      {"soxr_MQ", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<Soxr>(c, SOXR_MQ);
       }},
      {"libsamplerate_SINC_FASTEST", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<LibSamplerate>(c, SRC_SINC_FASTEST);
       }},
      {"libsamplerate_SINC_MEDIUM_QUALITY", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<LibSamplerate>(c, SRC_SINC_MEDIUM_QUALITY);
       }},
      {"speexdsp_q3", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<Speex>(c, 3);
       }},
      {"speexdsp_q5", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<Speex>(c, 5);
       }},
      {"zita_h16", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<Zita>(c, 16);
       }},
      {"zita_h32", [](const Conversion& c) -> std::unique_ptr<Resampler> {
         return std::make_unique<Zita>(c, 32);
       }},
  };
  return candidates;
}

}  // namespace bench
