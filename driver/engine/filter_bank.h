// The rate converter's constant filter bank: one low-pass kernel per pair of
// the rates 44100, 48000, 88200, 96000 and 192000; any other rate uses the
// 44100 row or column. Pure constant data; callable at any IRQL.
#pragma once

#include <wdm.h>

// Half of a symmetric prototype, from the centre: Coefficients[0 .. M] with
// M = (TapCount - 1) / 2, sampled at PhaseCount times the input rate.
struct FILTER_KERNEL {
  ULONG PhaseCount;  // L
  ULONG TapCount;    // N, odd
  const FLOAT* Coefficients;
};

struct FILTER_KERNEL_CELL {
  ULONG FromRate;
  ULONG ToRate;
  FILTER_KERNEL Kernel;
};

inline constexpr ULONG kBankRates[] = {44100, 48000, 88200, 96000, 192000};
inline constexpr ULONG kBankRateCount = 5;

// The rate a bank lookup uses for an arbitrary rate.
ULONG BankRate(ULONG rate);

// Kernel for converting from one rate to another; never null.
const FILTER_KERNEL* SelectKernel(ULONG fromRate, ULONG toRate);

// Delay of a kernel in input frames: M / L + 1.
ULONG KernelDelay(const FILTER_KERNEL* kernel);
ULONG KernelDelay(ULONG fromRate, ULONG toRate);

extern const FILTER_KERNEL g_IdentityKernel;
extern const FILTER_KERNEL_CELL g_KaiserKernels[20];
