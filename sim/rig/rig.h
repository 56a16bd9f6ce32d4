// The rig: one simulated machine with host controllers, Tarvik units and
// Movakern loaded through the PnP manager, as the tools and the end-to-end
// tests use it. The registry can be loaded from a .reg file at start and is
// saved back at the end; teardown removes every unit, unloads the driver
// and runs the verifier's leak check.
//
// A Rig is driven from the thread that created it (a simulated thread of
// its machine). User-mode clients run through RunClient, in a process of
// their own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"
#include "platform/sim/usb_bus.h"

namespace sim::rig {

inline constexpr char16_t kServiceName[] = u"Movakern";

// One --unit: "hs" or "fs", then modifiers separated by ':'
// (rates=0x1ff, ppm=50, bcd=0x0102, controller=2, no-config).
struct UnitSpec {
  bool fullSpeed = false;
  std::optional<uint16_t> rateMask;  // output and input rate masks
  double ppm = 0.0;
  std::optional<uint16_t> bcdDevice;
  unsigned controller = 0;
  bool refuseConfiguration = false;
};
// Nullopt with a message naming the bad part.
std::optional<UnitSpec> ParseUnitSpec(std::string_view text, std::string* error);

struct RigOptions {
  std::vector<UnitSpec> units;  // attached in order by Start
  std::string registryFile;     // loaded at Start, saved at Stop; empty: neither
  std::string pcapFile;         // capture of controller 0's traffic; empty: none
  bool realtime = false;
};

class Rig {
 public:
  explicit Rig(RigOptions options);
  ~Rig();  // Stop, if not stopped
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Loads the registry, creates the controllers the units name (at least
  // one), loads the driver and attaches the units. False with a message.
  bool Start(std::string* error);
  // Attaches one more unit (after Start).
  sim::usb::Device& Attach(const UnitSpec& spec);
  // Surprise-removes every unit, unloads the driver, saves the registry and
  // checks for leaks. False with a message when any step failed.
  bool Stop(std::string* error);

  sim::Machine& machine() { return *machine_; }
  PDRIVER_OBJECT driver() const { return driver_; }
  const std::vector<sim::usb::Device*>& units() const { return units_; }

  // Runs `body` on a new simulated thread in a user-mode process of its own
  // (a 32-bit one when asked) and waits for it.
  void RunClient(const std::function<void()>& body, bool is32Bit = false);
  void RunFor(uint64_t duration) { machine_->RunFor(duration); }

 private:
  RigOptions options_;
  std::unique_ptr<sim::Machine> machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<sim::usb::Device*> units_;
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace sim::rig
