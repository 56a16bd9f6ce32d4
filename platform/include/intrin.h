// The processor-identification intrinsics of the Windows compiler that the
// driver uses, for GCC and Clang. <cpuid.h> already provides __cpuidex.
#pragma once

#include <cpuid.h>

// Extended control register; XCR0 says which register states the OS saves.
inline unsigned long long __xgetbv_xcr(unsigned int xcr) {
  unsigned int lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(xcr));
  return (static_cast<unsigned long long>(hi) << 32) | lo;
}
#ifndef _xgetbv
#define _xgetbv(xcr) __xgetbv_xcr(xcr)
#endif
