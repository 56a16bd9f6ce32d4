// What `movasim midi send` does: writes MIDI bytes to the first unit's MIDI
// subdevice the way an application does, lets the unit echo them (or play
// a script of packets instead), and collects the USB-MIDI packets the unit
// received and the bytes that came back on the input pin.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/rig/rig.h"
#include "sim/unit/midi_port.h"

namespace movasim {

// The command could not reach the MIDI subdevice.
inline constexpr int kExitNoMidiDevice = 3;

// One byte per text, in hex ("90", "0x3c"). Nullopt with a message naming
// the bad text.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::vector<std::string>& texts,
                                                  std::string* error);

// Script lines: a time in milliseconds after the start (decimals allowed)
// and the four bytes of a packet in hex, separated by blanks; '#' starts a
// comment, blank lines are skipped. Nullopt with a message naming the line.
std::optional<std::vector<sim::unit::ScriptedMidiPacket>> ParseMidiScript(std::istream& in,
                                                                          std::string* error);

struct MidiExchange {
  std::vector<uint8_t> sent;
  std::vector<sim::unit::MidiPacket> wire;  // what the unit's bulk OUT endpoint took
  std::vector<uint8_t> received;            // what the input pin gave back
};

// Runs the exchange on the rig's thread; a failure status when the filter
// or its pins cannot be opened (`failure` says which).
NTSTATUS ExchangeMidi(sim::rig::Rig& rig, const std::vector<uint8_t>& bytes,
                      const std::optional<std::vector<sim::unit::ScriptedMidiPacket>>& script,
                      MidiExchange* exchange, std::string* failure);

// Upper-case hex, one space between bytes.
std::string HexString(const uint8_t* bytes, size_t count);

// {"sent": "90 3C 64", "wire": ["09 90 3C 64"], "received": "90 3C 64"}
nlohmann::ordered_json MidiExchangeJson(const MidiExchange& exchange);
std::string FormatMidiExchangeText(const MidiExchange& exchange);

}  // namespace movasim
