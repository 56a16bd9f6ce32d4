#include "tests/driver/wdm/midi_test_support.h"

#include <cstdio>

#include "tools/movasim/midi_send.h"

namespace tests {

std::vector<uint8_t> HexBytes(const std::string& text) {
  std::vector<uint8_t> bytes;
  unsigned value = 0;
  int used = 0;
  const char* at = text.c_str();
  while (std::sscanf(at, "%x%n", &value, &used) == 1) {
    bytes.push_back(static_cast<uint8_t>(value));
    at += used;
  }
  return bytes;
}

std::string HexText(const std::vector<uint8_t>& bytes) { return movasim::HexString(bytes.data(), bytes.size()); }

std::string PacketText(const sim::unit::MidiPacket& packet) {
  return HexText(std::vector<uint8_t>(packet.begin(), packet.end()));
}

}  // namespace tests
