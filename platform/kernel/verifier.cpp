// Verifier failures end the process with a message a developer can act on.

#include "platform/sim/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

[[noreturn]] void VerifierFail(const char* rule, const std::string& detail,
                               const std::source_location& caller) {
  std::fprintf(stderr, "VERIFIER: %s: %s [caller %s:%u %s]\n", rule, detail.c_str(), caller.file_name(),
               static_cast<unsigned>(caller.line()), caller.function_name());
  std::fflush(stderr);
  std::abort();
}

std::string FormatTag(unsigned long tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  }
  return text;
}

}  // namespace sim
