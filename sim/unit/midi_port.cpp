#include "sim/unit/midi_port.h"

#include <algorithm>

namespace sim::unit {
namespace {
constexpr uint64_t kMicrosecondsPerMicroframe = 125;
}

void MidiPort::SetQuiet() {
  mode_ = MidiMode::Quiet;
  script_.clear();
  outgoing_.clear();
}

void MidiPort::SetEcho() {
  SetQuiet();
  mode_ = MidiMode::Echo;
}

void MidiPort::PlayScript(std::vector<ScriptedMidiPacket> script, uint64_t microframe) {
  SetQuiet();
  mode_ = MidiMode::Script;
  std::stable_sort(script.begin(), script.end(),
                   [](const auto& a, const auto& b) { return a.atMicroseconds < b.atMicroseconds; });
  script_ = std::move(script);
  scriptNext_ = 0;
  scriptStart_ = microframe;
}

bool MidiPort::Receive(std::span<const uint8_t> data, uint64_t microframe) {
  const size_t whole = data.size() / 4;
  for (size_t i = 0; i < whole; ++i) {
    MidiPacket packet;
    std::copy_n(data.begin() + 4 * i, 4, packet.begin());
    received_.push_back({microframe, packet});
    if (mode_ == MidiMode::Echo) outgoing_.push_back(packet);
  }
  if (data.size() % 4 == 0) return true;
  ++malformed_;
  return false;
}

void MidiPort::ReleaseDue(uint64_t microframe) {
  while (scriptNext_ < script_.size()) {
    const auto& next = script_[scriptNext_];
    const uint64_t due = scriptStart_ + next.atMicroseconds / kMicrosecondsPerMicroframe;
    if (due > microframe) break;
    outgoing_.push_back(next.packet);
    ++scriptNext_;
  }
}

bool MidiPort::HasData(uint64_t microframe) {
  ReleaseDue(microframe);
  return !outgoing_.empty();
}

size_t MidiPort::Send(std::span<uint8_t> buffer, uint64_t microframe) {
  ReleaseDue(microframe);
  size_t written = 0;
  while (!outgoing_.empty() && buffer.size() - written >= 4) {
    std::copy(outgoing_.front().begin(), outgoing_.front().end(), buffer.begin() + written);
    outgoing_.pop_front();
    written += 4;
  }
  return written;
}

}  // namespace sim::unit
