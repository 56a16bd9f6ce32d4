// movasim's subcommands. Each lives in a file of its own and registers
// itself with one line:
//
//   MOVASIM_COMMAND(StatusCommand, "status", "Shows the control devices ...");
//
// The command adds its own options to its CLI11 subcommand; the rig options
// (--unit, --registry, --pcap, --realtime) belong to the program and may be
// given before or after the subcommand's name.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "sim/rig/rig.h"

namespace movasim {

class Command {
 public:
  virtual ~Command() = default;
  virtual void AddOptions(CLI::App& subcommand) = 0;
  // Runs on the started rig; the result is the program's exit status
  // unless stopping the rig fails.
  virtual int Run(sim::rig::Rig& rig) = 0;
};

struct CommandEntry {
  std::string name;
  std::string summary;
  std::function<std::unique_ptr<Command>()> make;
};

bool RegisterCommand(CommandEntry entry);
// In the order the names sort.
std::vector<CommandEntry> RegisteredCommands();

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitRigFailed = 1;  // the rig could not start or stop cleanly
inline constexpr int kExitBadOptions = 2;

// The whole program: parses `argv`, runs the chosen command (status when
// none is named) on a rig and stops it.
int Main(int argc, char** argv);

}  // namespace movasim

#define MOVASIM_COMMAND(Type, name, summary)                       \
  [[maybe_unused]] static const bool registered_##Type =           \
      ::movasim::RegisterCommand({name, summary, [] { return std::unique_ptr<::movasim::Command>(new Type); }})
