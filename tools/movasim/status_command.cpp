// `movasim status [--json]`: what a user-mode program sees of the units.

#include <cstdio>

#include "tools/movasim/command.h"
#include "tools/movasim/status.h"

namespace {

class StatusCommand : public movasim::Command {
 public:
  void AddOptions(CLI::App& subcommand) override {
    subcommand.add_flag("--json", json_, "Print one JSON document instead of text.");
  }
  int Run(sim::rig::Rig& rig) override {
    movasim::Json status = movasim::CollectStatus(rig);
    std::string text = json_ ? status.dump(2) + "\n" : movasim::FormatStatusText(status);
    std::fputs(text.c_str(), stdout);
    return movasim::kExitOk;
  }

 private:
  bool json_ = false;
};

}  // namespace

MOVASIM_COMMAND(StatusCommand, "status", "Shows the control devices, their answers and the driver's registry values.");
