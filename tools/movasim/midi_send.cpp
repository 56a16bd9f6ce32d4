#include "tools/movasim/midi_send.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

#include "platform/sim/ks_client.h"

namespace movasim {

namespace {

constexpr char16_t kMidiSubdevice[] = u"Midi1-1";
constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 2;
constexpr uint64_t kMillisecond = 10'000;
// Long enough for a transfer to go out and its echo to come back.
constexpr uint64_t kSettleStep = 5 * kMillisecond;
constexpr int kMaxSettleSteps = 400;

std::optional<uint8_t> ParseHexByte(const std::string& text) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
    digits = digits.substr(2);
  if (digits.empty() || digits.size() > 2) return std::nullopt;
  unsigned value = 0;
  for (char c : digits) {
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = unsigned(c - '0');
    else if (c >= 'a' && c <= 'f')
      digit = unsigned(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      digit = unsigned(c - 'A' + 10);
    else
      return std::nullopt;
    value = value * 16 + digit;
  }
  return uint8_t(value);
}

std::string Status(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", unsigned(status));
  return text;
}

NTSTATUS OpenRunningPin(sim::KsFilter& filter, ULONG pinId, size_t queueBytes,
                        std::unique_ptr<sim::KsMidiPin>* pin) {
  std::vector<uint8_t> format = sim::KsMidiFormat();
  NTSTATUS status = sim::KsMidiPin::Create(filter, pinId, format.data(), ULONG(format.size()), pin,
                                           sim::KsMidiPinOptions{queueBytes});
  if (NT_SUCCESS(status)) status = (*pin)->SetState(KSSTATE_RUN);
  return status;
}

}  // namespace

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::vector<std::string>& texts,
                                                  std::string* error) {
  std::vector<uint8_t> bytes;
  for (const std::string& text : texts) {
    std::optional<uint8_t> byte = ParseHexByte(text);
    if (!byte) {
      if (error) *error = "\"" + text + "\" is not a byte in hex (00 to FF)";
      return std::nullopt;
    }
    bytes.push_back(*byte);
  }
  return bytes;
}

std::optional<std::vector<sim::unit::ScriptedMidiPacket>> ParseMidiScript(std::istream& in,
                                                                          std::string* error) {
  std::vector<sim::unit::ScriptedMidiPacket> script;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = line.substr(0, line.find('#'));
    std::istringstream fields(line);
    std::string time;
    if (!(fields >> time)) continue;
    auto fail = [&](const std::string& why) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      return std::nullopt;
    };
    size_t used = 0;
    double ms = -1;
    try {
      ms = std::stod(time, &used);
    } catch (const std::exception&) {
      used = 0;
    }
    if (used != time.size() || !std::isfinite(ms) || ms < 0)
      return fail("\"" + time + "\" is not a time in milliseconds");
    std::vector<std::string> texts;
    for (std::string text; fields >> text;) texts.push_back(text);
    if (texts.size() != 4) return fail("a packet is four bytes, found " + std::to_string(texts.size()));
    std::string byteError;
    std::optional<std::vector<uint8_t>> bytes = ParseHexBytes(texts, &byteError);
    if (!bytes) return fail(byteError);
    sim::unit::ScriptedMidiPacket packet;
    packet.atMicroseconds = uint64_t(std::llround(ms * 1000.0));
    std::copy(bytes->begin(), bytes->end(), packet.packet.begin());
    script.push_back(packet);
  }
  return script;
}

NTSTATUS ExchangeMidi(sim::rig::Rig& rig, const std::vector<uint8_t>& bytes,
                      const std::optional<std::vector<sim::unit::ScriptedMidiPacket>>& script,
                      MidiExchange* exchange, std::string* failure) {
  *exchange = MidiExchange{};
  exchange->sent = bytes;
  if (rig.units().empty()) {
    *failure = "no unit is attached";
    return STATUS_NO_SUCH_DEVICE;
  }
  sim::unit::TarvikUnit& unit = rig.units()[0]->unit();
  std::unique_ptr<sim::KsFilter> filter;
  NTSTATUS status = sim::KsFilter::Open(rig.machine(), kMidiSubdevice, &filter);
  if (!NT_SUCCESS(status)) {
    *failure = "the MIDI subdevice Midi1-1 cannot be opened (" + Status(status) + ")";
    return status;
  }
  // The input pin runs first so nothing that comes back is missed.
  std::unique_ptr<sim::KsMidiPin> in;
  status = OpenRunningPin(*filter, kCapturePin, 64 * 1024, &in);
  if (!NT_SUCCESS(status)) {
    *failure = "the MIDI input pin cannot be run (" + Status(status) + ")";
    return status;
  }
  std::unique_ptr<sim::KsMidiPin> out;
  status = OpenRunningPin(*filter, kRenderPin, std::max<size_t>(bytes.size(), 4096), &out);
  if (!NT_SUCCESS(status)) {
    *failure = "the MIDI output pin cannot be run (" + Status(status) + ")";
    return status;
  }

  uint64_t scriptEnd = 0;
  if (script) {
    unit.PlayMidiScript(*script);
    for (const auto& packet : *script) scriptEnd = std::max(scriptEnd, packet.atMicroseconds);
  } else {
    unit.SetMidiEcho();
  }
  const size_t before = unit.ReceivedMidi().size();
  out->Write(bytes);
  if (scriptEnd) rig.RunFor(scriptEnd * 10);  // microseconds to 100-ns units

  // Until the output has gone and nothing more arrives.
  size_t wire = 0;
  for (int step = 0; step < kMaxSettleSteps; ++step) {
    rig.RunFor(kSettleStep);
    std::vector<uint8_t> got = in->Read();
    exchange->received.insert(exchange->received.end(), got.begin(), got.end());
    const size_t now = unit.ReceivedMidi().size();
    const bool quiet = got.empty() && now == wire && out->queuedBytes() == 0;
    wire = now;
    if (quiet && step > 0) break;
  }
  auto received = unit.ReceivedMidi();
  for (size_t i = before; i < received.size(); ++i) exchange->wire.push_back(received[i].packet);
  return STATUS_SUCCESS;
}

std::string HexString(const uint8_t* bytes, size_t count) {
  std::string text;
  char piece[4];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(piece, sizeof(piece), i ? " %02X" : "%02X", bytes[i]);
    text += piece;
  }
  return text;
}

nlohmann::ordered_json MidiExchangeJson(const MidiExchange& exchange) {
  nlohmann::ordered_json json;
  json["sent"] = HexString(exchange.sent.data(), exchange.sent.size());
  json["wire"] = nlohmann::ordered_json::array();
  for (const auto& packet : exchange.wire) json["wire"].push_back(HexString(packet.data(), packet.size()));
  json["received"] = HexString(exchange.received.data(), exchange.received.size());
  return json;
}

std::string FormatMidiExchangeText(const MidiExchange& exchange) {
  std::string text = "sent:     " + HexString(exchange.sent.data(), exchange.sent.size()) + "\n";
  if (exchange.wire.empty()) text += "wire:     (nothing)\n";
  for (size_t i = 0; i < exchange.wire.size(); ++i) {
    text += (i ? "          " : "wire:     ") +
            HexString(exchange.wire[i].data(), exchange.wire[i].size()) + "\n";
  }
  text += "received: " + HexString(exchange.received.data(), exchange.received.size()) + "\n";
  return text;
}

}  // namespace movasim
