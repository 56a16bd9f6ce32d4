// The unit's MIDI function: USB-MIDI event packets (4 bytes) received on the
// bulk OUT endpoint are recorded and, in echo mode, queued for bulk IN; in
// script mode timed packets become available as their time comes.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

namespace sim::unit {

using MidiPacket = std::array<uint8_t, 4>;

struct ScriptedMidiPacket {
  uint64_t atMicroseconds;  // after the script starts
  MidiPacket packet;
};

struct ReceivedMidiPacket {
  uint64_t microframe;
  MidiPacket packet;
};

enum class MidiMode { Quiet, Echo, Script };

class MidiPort {
 public:
  void SetQuiet();
  void SetEcho();
  // Starts the script at `microframe`; packets are due 125 us per microframe
  // later, in the order given for equal times.
  void PlayScript(std::vector<ScriptedMidiPacket> script, uint64_t microframe);
  MidiMode mode() const { return mode_; }

  // Bulk OUT data; returns false when it was not a whole number of packets
  // (the whole packets in it are still taken).
  bool Receive(std::span<const uint8_t> data, uint64_t microframe);
  bool HasData(uint64_t microframe);
  // Whole packets that fit `buffer`; 0 when nothing is due.
  size_t Send(std::span<uint8_t> buffer, uint64_t microframe);

  const std::vector<ReceivedMidiPacket>& received() const { return received_; }
  uint64_t malformed() const { return malformed_; }

 private:
  void ReleaseDue(uint64_t microframe);

  MidiMode mode_ = MidiMode::Quiet;
  std::deque<MidiPacket> outgoing_;
  std::vector<ScriptedMidiPacket> script_;  // sorted by time
  size_t scriptNext_ = 0;
  uint64_t scriptStart_ = 0;
  std::vector<ReceivedMidiPacket> received_;
  uint64_t malformed_ = 0;
};

}  // namespace sim::unit
