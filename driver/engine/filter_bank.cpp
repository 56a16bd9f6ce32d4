#include "driver/engine/filter_bank.h"

namespace {
// With L = 1 and two taps per side the output is the history frame two
// before the newest: a pure delay.
const FLOAT kIdentityCoefficients[3] = {1.0f, 0.0f, 0.0f};
}  // namespace

const FILTER_KERNEL g_IdentityKernel = {1, 5, kIdentityCoefficients};

ULONG BankRate(ULONG rate) {
  for (ULONG bankRate : kBankRates) {
    if (rate == bankRate) return rate;
  }
  return kBankRates[0];
}

const FILTER_KERNEL* SelectKernel(ULONG fromRate, ULONG toRate) {
  const ULONG from = BankRate(fromRate);
  const ULONG to = BankRate(toRate);
  if (from == to) return &g_IdentityKernel;
  for (const FILTER_KERNEL_CELL& cell : g_KaiserKernels) {
    if (cell.FromRate == from && cell.ToRate == to) return &cell.Kernel;
  }
  return &g_IdentityKernel;  // unreachable: the bank has every off-diagonal cell
}

ULONG KernelDelay(const FILTER_KERNEL* kernel) {
  return ((kernel->TapCount - 1) / 2) / kernel->PhaseCount + 1;
}

ULONG KernelDelay(ULONG fromRate, ULONG toRate) {
  return KernelDelay(SelectKernel(fromRate, toRate));
}
