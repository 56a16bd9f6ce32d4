// filter-bank: prints the rate converter's kernels.
//   filter-bank [--json]                    every cell of the bank
//   filter-bank --from A --to B [--json]    the kernel used from A to B
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "driver/engine/filter_bank.h"

namespace {

struct Cell {
  unsigned long from;
  unsigned long to;
  const FILTER_KERNEL* kernel;
};

void PrintJson(const std::vector<Cell>& cells) {
  std::printf("[");
  for (size_t i = 0; i < cells.size(); ++i) {
    const Cell& cell = cells[i];
    const FILTER_KERNEL* k = cell.kernel;
    std::printf("%s{\"from\": %lu, \"to\": %lu, \"L\": %u, \"N\": %u, \"delay\": %u, \"c\": [",
                i ? ",\n " : "", cell.from, cell.to, k->PhaseCount, k->TapCount, KernelDelay(k));
    const unsigned m = (k->TapCount - 1) / 2;
    for (unsigned j = 0; j <= m; ++j) {
      std::printf("%s%.9g", j ? ", " : "", static_cast<double>(k->Coefficients[j]));
    }
    std::printf("]}");
  }
  std::printf("]\n");
}

void PrintTable(const std::vector<Cell>& cells) {
  std::printf("%8s %8s %5s %7s %6s %12s\n", "from", "to", "L", "N", "delay", "c[0]");
  for (const Cell& cell : cells) {
    const FILTER_KERNEL* k = cell.kernel;
    std::printf("%8lu %8lu %5u %7u %6u %12.7f\n", cell.from, cell.to, k->PhaseCount, k->TapCount,
                KernelDelay(k), static_cast<double>(k->Coefficients[0]));
  }
}

int Usage() {
  std::fprintf(stderr, "usage: filter-bank [--from RATE --to RATE] [--json]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  unsigned long from = 0;
  unsigned long to = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if ((arg == "--from" || arg == "--to") && i + 1 < argc) {
      char* end = nullptr;
      const unsigned long rate = std::strtoul(argv[++i], &end, 10);
      if (end == argv[i] || *end != '\0' || rate == 0) return Usage();
      (arg == "--from" ? from : to) = rate;
    } else {
      return Usage();
    }
  }
  if ((from == 0) != (to == 0)) return Usage();

  std::vector<Cell> cells;
  if (from != 0) {
    cells.push_back({from, to, SelectKernel(from, to)});
  } else {
    for (ULONG f : kBankRates) {
      for (ULONG t : kBankRates) cells.push_back({f, t, SelectKernel(f, t)});
    }
  }
  if (json) {
    PrintJson(cells);
  } else {
    PrintTable(cells);
  }
  return 0;
}
