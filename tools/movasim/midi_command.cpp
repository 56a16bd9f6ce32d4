// `movasim midi send HEX... [--json] [--script FILE]`: MIDI bytes through
// the first unit's MIDI subdevice and back.

#include <cstdio>
#include <fstream>

#include "tools/movasim/command.h"
#include "tools/movasim/midi_send.h"

namespace {

class MidiCommand : public movasim::Command {
 public:
  void AddOptions(CLI::App& subcommand) override {
    subcommand.require_subcommand(1, 1);
    send_ = subcommand.add_subcommand(
        "send", "Writes MIDI bytes to the MIDI output, lets the unit echo them and reads the input.");
    send_->add_option("bytes", texts_, "The MIDI bytes, one hex byte per argument (90 3C 64).")
        ->each([this](const std::string& text) {
          std::string error;
          if (!movasim::ParseHexBytes({text}, &error)) throw CLI::ValidationError(error);
        });
    send_->add_option("--script", scriptPath_,
                      "Play this script of packets from the unit instead of echoing.")
        ->check(CLI::ExistingFile);
    send_->add_flag("--json", json_, "Print one JSON document instead of text.");
    send_->footer(
        "Script file: one packet per line, the time in milliseconds after the start (decimals "
        "allowed) and the packet's four bytes in hex, e.g.\n"
        "  0    09 90 3C 64\n"
        "  12.5 08 80 3C 00\n"
        "'#' starts a comment; blank lines are skipped.");
  }

  int Run(sim::rig::Rig& rig) override {
    std::string error;
    std::optional<std::vector<uint8_t>> bytes = movasim::ParseHexBytes(texts_, &error);
    if (!bytes) return Fail(error, movasim::kExitBadOptions);
    std::optional<std::vector<sim::unit::ScriptedMidiPacket>> script;
    if (!scriptPath_.empty()) {
      std::ifstream file(scriptPath_);
      script = movasim::ParseMidiScript(file, &error);
      if (!file.is_open() || !script) return Fail(scriptPath_ + ": " + error, movasim::kExitBadOptions);
    }
    if (bytes->empty() && !script) return Fail("nothing to send", movasim::kExitBadOptions);
    movasim::MidiExchange exchange;
    if (!NT_SUCCESS(movasim::ExchangeMidi(rig, *bytes, script, &exchange, &error)))
      return Fail(error, movasim::kExitNoMidiDevice);
    std::string text = json_ ? movasim::MidiExchangeJson(exchange).dump(2) + "\n"
                             : movasim::FormatMidiExchangeText(exchange);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    return movasim::kExitOk;
  }

 private:
  static int Fail(const std::string& message, int status) {
    std::fprintf(stderr, "movasim midi send: %s\n", message.c_str());
    return status;
  }

  CLI::App* send_ = nullptr;
  std::vector<std::string> texts_;
  std::string scriptPath_;
  bool json_ = false;
};

}  // namespace

MOVASIM_COMMAND(MidiCommand, "midi", "Sends MIDI bytes through the unit's MIDI port and shows what came back.");
