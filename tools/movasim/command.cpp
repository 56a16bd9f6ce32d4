// The subcommand table and the program around it (see command.h).

#include "tools/movasim/command.h"

#include <algorithm>
#include <cstdio>

namespace movasim {

namespace {

std::vector<CommandEntry>& Table() {
  static std::vector<CommandEntry> table;
  return table;
}

constexpr const char* kDefaultCommand = "status";

}  // namespace

bool RegisterCommand(CommandEntry entry) {
  Table().push_back(std::move(entry));
  return true;
}

std::vector<CommandEntry> RegisteredCommands() {
  std::vector<CommandEntry> commands = Table();
  std::sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return commands;
}

int Main(int argc, char** argv) {
  CLI::App app{"The Tarvik driver package on a simulated machine: units on USB host controllers, Movakern loaded."};
  app.fallthrough();  // rig options after the subcommand's name reach the program
  std::vector<std::string> unitTexts;
  sim::rig::RigOptions options;
  app.add_option("--unit", unitTexts,
                 "A unit to attach, in order: hs or fs, then modifiers joined by ':' "
                 "(rates=0x1ff, ppm=50, bcd=0x0102, controller=N, no-config). Default: one hs unit.");
  app.add_option("--registry", options.registryFile,
                 "A .reg file loaded at start (when it exists) and saved at the end.");
  app.add_option("--pcap", options.pcapFile, "Capture controller 0's USB traffic to this pcap file.");
  app.add_flag("--realtime", options.realtime, "Follow the wall clock instead of virtual time.");

  struct Chosen {
    CLI::App* subcommand;
    std::unique_ptr<Command> command;
  };
  std::vector<Chosen> commands;
  for (const CommandEntry& entry : RegisteredCommands()) {
    Chosen chosen{app.add_subcommand(entry.name, entry.summary), entry.make()};
    chosen.command->AddOptions(*chosen.subcommand);
    commands.push_back(std::move(chosen));
  }
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return kExitBadOptions;
  }

  if (unitTexts.empty()) unitTexts.push_back("hs");
  for (const std::string& text : unitTexts) {
    std::string error;
    std::optional<sim::rig::UnitSetup> setup = sim::rig::ParseUnitSetup(text, &error);
    if (!setup) {
      std::fprintf(stderr, "movasim: --unit: %s\n", error.c_str());
      return kExitBadOptions;
    }
    options.units.push_back(*setup);
  }

  Command* command = nullptr;
  for (Chosen& chosen : commands)
    if (chosen.subcommand->parsed() || (app.get_subcommands().empty() && chosen.subcommand->get_name() == kDefaultCommand))
      command = chosen.command.get();
  if (command == nullptr) {
    std::fprintf(stderr, "movasim: no %s command is built in\n", kDefaultCommand);
    return kExitBadOptions;
  }

  sim::rig::Rig rig(options);
  std::string error;
  if (!rig.Start(&error)) {
    std::fprintf(stderr, "movasim: the rig did not start: %s\n", error.c_str());
    rig.Stop(nullptr);
    return kExitRigFailed;
  }
  int status = command->Run(rig);
  if (!rig.Stop(&error)) {
    std::fprintf(stderr, "movasim: the rig did not stop cleanly: %s\n", error.c_str());
    return kExitRigFailed;
  }
  return status;
}

}  // namespace movasim
