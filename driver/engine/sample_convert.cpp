#include "driver/engine/sample_convert.h"

namespace {

enum class SampleFormat { None, U8, S16, S24Packed, S24In32, S32 };

SampleFormat FormatOf(ULONG bytesPerSample, ULONG validBits) {
  switch (bytesPerSample) {
    case 1: return SampleFormat::U8;
    case 2: return SampleFormat::S16;
    case 3: return SampleFormat::S24Packed;
    case 4: return validBits == 24 ? SampleFormat::S24In32 : SampleFormat::S32;
    default: return SampleFormat::None;
  }
}

// One step through the ring. Subtracting the ring size (rather than jumping
// to begin) keeps an interleaved channel on its own byte offset.
inline PUCHAR Step(PUCHAR p, ULONG stride, PUCHAR begin, PUCHAR end) {
  p += stride;
  if (p >= end) p -= (end - begin);
  return p;
}

// Scale by 2^(Bits-1), clip and truncate toward zero. The limits are
// compared in single precision: for 32 bits the upper limit 2^31 - 1 rounds to
// 2147483648.0f, as intended. NaN has no integer value and becomes silence.
template <int Bits>
inline LONG Quantize(FLOAT x) {
  constexpr LONGLONG full = 1LL << (Bits - 1);
  const FLOAT v = x * static_cast<FLOAT>(full);
  if (v >= static_cast<FLOAT>(full - 1)) return static_cast<LONG>(full - 1);
  if (v <= static_cast<FLOAT>(-full)) return static_cast<LONG>(-full);
  if (v != v) return 0;
  return static_cast<LONG>(v);
}

inline void Store(PUCHAR p, SampleFormat format, FLOAT x) {
  switch (format) {
    case SampleFormat::U8:
      *p = static_cast<UCHAR>(Quantize<8>(x) + 128);
      break;
    case SampleFormat::S16: {
      const auto s = static_cast<USHORT>(Quantize<16>(x));
      p[0] = static_cast<UCHAR>(s);
      p[1] = static_cast<UCHAR>(s >> 8);
      break;
    }
    case SampleFormat::S24Packed: {
      const auto s = static_cast<ULONG>(Quantize<24>(x));
      p[0] = static_cast<UCHAR>(s);
      p[1] = static_cast<UCHAR>(s >> 8);
      p[2] = static_cast<UCHAR>(s >> 16);
      break;
    }
    case SampleFormat::S24In32: {
      const ULONG s = static_cast<ULONG>(Quantize<32>(x)) & 0xFFFFFF00u;
      memcpy(p, &s, 4);
      break;
    }
    case SampleFormat::S32: {
      const ULONG s = static_cast<ULONG>(Quantize<32>(x));
      memcpy(p, &s, 4);
      break;
    }
    case SampleFormat::None:
      break;
  }
}

inline FLOAT Load(const UCHAR* p, SampleFormat format) {
  switch (format) {
    case SampleFormat::U8:
      return static_cast<FLOAT>(static_cast<LONG>(*p) - 128) * 0x1p-7f;
    case SampleFormat::S16:
      return static_cast<FLOAT>(static_cast<SHORT>(p[0] | (p[1] << 8))) * 0x1p-15f;
    case SampleFormat::S24Packed: {
      const ULONG u = static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) |
                      (static_cast<ULONG>(p[2]) << 16);
      const LONG s = static_cast<LONG>(u << 8) >> 8;
      return static_cast<FLOAT>(s) * 0x1p-23f;
    }
    case SampleFormat::S24In32: {
      ULONG u;
      memcpy(&u, p, 4);
      return static_cast<FLOAT>(static_cast<LONG>(u & 0xFFFFFF00u)) * 0x1p-31f;
    }
    case SampleFormat::S32: {
      LONG s;
      memcpy(&s, p, 4);
      return static_cast<FLOAT>(s) * 0x1p-31f;
    }
    case SampleFormat::None:
      break;
  }
  return 0.0f;
}

// The format switch is hoisted out of the sample loop by instantiation.
template <SampleFormat F, bool Add>
PUCHAR ReadLoop(PUCHAR begin, PUCHAR end, PUCHAR source, FLOAT* destination, ULONG frames,
                ULONG sourceStride) {
  for (ULONG i = 0; i < frames; ++i) {
    const FLOAT x = Load(source, F);
    destination[i] = Add ? destination[i] + x : x;
    source = Step(source, sourceStride, begin, end);
  }
  return source;
}

template <bool Add>
PUCHAR Read(PUCHAR begin, PUCHAR end, PUCHAR source, FLOAT* destination, ULONG frames,
            ULONG sourceStride, ULONG bytesPerSample, ULONG validBits) {
  switch (FormatOf(bytesPerSample, validBits)) {
    case SampleFormat::U8:
      return ReadLoop<SampleFormat::U8, Add>(begin, end, source, destination, frames, sourceStride);
    case SampleFormat::S16:
      return ReadLoop<SampleFormat::S16, Add>(begin, end, source, destination, frames, sourceStride);
    case SampleFormat::S24Packed:
      return ReadLoop<SampleFormat::S24Packed, Add>(begin, end, source, destination, frames,
                                                    sourceStride);
    case SampleFormat::S24In32:
      return ReadLoop<SampleFormat::S24In32, Add>(begin, end, source, destination, frames,
                                                  sourceStride);
    case SampleFormat::S32:
      return ReadLoop<SampleFormat::S32, Add>(begin, end, source, destination, frames, sourceStride);
    case SampleFormat::None:
      break;
  }
  return source;
}

template <SampleFormat F>
PUCHAR WriteLoop(PUCHAR begin, PUCHAR end, PUCHAR p, const FLOAT* source, ULONG frames,
                 ULONG destinationStride, ULONG sourceStride) {
  const auto* s = reinterpret_cast<const UCHAR*>(source);
  for (ULONG i = 0; i < frames; ++i) {
    FLOAT x;
    memcpy(&x, s, sizeof x);
    Store(p, F, x);
    p = Step(p, destinationStride, begin, end);
    s += sourceStride;
  }
  return p;
}

}  // namespace

VOID CaptureConvert(PUCHAR begin, PUCHAR end, PUCHAR* current, const FLOAT* source, ULONG frames,
                    ULONG destinationStride, ULONG bytesPerSample, ULONG sourceStride,
                    ULONG validBits) {
  PUCHAR p = *current;
  switch (FormatOf(bytesPerSample, validBits)) {
    case SampleFormat::U8:
      p = WriteLoop<SampleFormat::U8>(begin, end, p, source, frames, destinationStride, sourceStride);
      break;
    case SampleFormat::S16:
      p = WriteLoop<SampleFormat::S16>(begin, end, p, source, frames, destinationStride, sourceStride);
      break;
    case SampleFormat::S24Packed:
      p = WriteLoop<SampleFormat::S24Packed>(begin, end, p, source, frames, destinationStride,
                                             sourceStride);
      break;
    case SampleFormat::S24In32:
      p = WriteLoop<SampleFormat::S24In32>(begin, end, p, source, frames, destinationStride,
                                           sourceStride);
      break;
    case SampleFormat::S32:
      p = WriteLoop<SampleFormat::S32>(begin, end, p, source, frames, destinationStride, sourceStride);
      break;
    case SampleFormat::None:
      break;
  }
  *current = p;
}

PUCHAR RenderConvert(PUCHAR begin, PUCHAR end, PUCHAR source, FLOAT* destination, ULONG frames,
                     ULONG sourceStride, ULONG bytesPerSample, ULONG validBits) {
  return Read<false>(begin, end, source, destination, frames, sourceStride, bytesPerSample,
                     validBits);
}

PUCHAR RenderAdd(PUCHAR begin, PUCHAR end, PUCHAR source, FLOAT* destination, ULONG frames,
                 ULONG sourceStride, ULONG bytesPerSample, ULONG validBits) {
  return Read<true>(begin, end, source, destination, frames, sourceStride, bytesPerSample,
                    validBits);
}
