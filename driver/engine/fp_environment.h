// Floating-point environment of the filter loops: denormal results and inputs
// flushed to zero, every exception masked, restored on scope exit. A decaying
// tail of denormals would otherwise cost a hundred cycles a sample.
#pragma once

#include <xmmintrin.h>

class CFlushToZeroScope {
 public:
  CFlushToZeroScope() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushAndMask); }
  ~CFlushToZeroScope() { _mm_setcsr(saved_); }
  CFlushToZeroScope(const CFlushToZeroScope&) = delete;
  CFlushToZeroScope& operator=(const CFlushToZeroScope&) = delete;

 private:
  static constexpr unsigned kExceptionMasks = 0x1F80;  // IM DM ZM OM UM PM
  static constexpr unsigned kFlushToZero = 0x8000;     // FZ
  static constexpr unsigned kDenormalsAreZero = 0x0040;  // DAZ
  static constexpr unsigned kFlushAndMask = kExceptionMasks | kFlushToZero | kDenormalsAreZero;
  unsigned saved_;
};
