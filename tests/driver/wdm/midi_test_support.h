// Hex text for MIDI bytes and USB-MIDI packets, as the tests write them and
// movasim prints them: upper case, one space between bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/unit/midi_port.h"

namespace tests {

std::vector<uint8_t> HexBytes(const std::string& text);
std::string HexText(const std::vector<uint8_t>& bytes);
std::string PacketText(const sim::unit::MidiPacket& packet);

}  // namespace tests
