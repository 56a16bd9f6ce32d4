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
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"
#include "platform/sim/pnp.h"
#include "platform/sim/pool.h"
#include "platform/sim/usb_bus.h"

namespace sim::rig {

inline constexpr char16_t kServiceName[] = u"Movakern";
// The driver's service key as a .reg file names it.
inline constexpr char kServiceKeyPath[] = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Movakern";

// Controllers a rig may have (controller=0 .. controller=7).
inline constexpr unsigned kMaxControllers = 8;
// A crystal further off than this is no crystal; the unit model would send
// packets no real unit sends.
inline constexpr double kMaxCrystalPpm = 1000.0;

// One --unit: "hs" or "fs", then modifiers separated by ':'
// (rates=0x1ff, ppm=50, bcd=0x0102, controller=2, no-config).
struct UnitSetup {
  bool fullSpeed = false;
  std::optional<uint16_t> rateMask;  // output and input rate masks
  double ppm = 0.0;
  std::optional<uint16_t> bcdDevice;
  unsigned controller = 0;
  bool refuseConfiguration = false;
};
// Nullopt with a message naming the bad part.
std::optional<UnitSetup> ParseUnitSetup(std::string_view text, std::string* error);

struct RigOptions {
  std::vector<UnitSetup> units;  // attached in order by Start
  std::string registryFile;     // loaded at Start, saved at Stop; empty: neither
  std::string pcapFile;         // capture of controller 0's traffic; empty: none
  bool realtime = false;
  // The driver to load; null loads Movakern's own DriverEntry.
  sim::DriverEntryRoutine driverEntry = nullptr;
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
  // Attaches one more unit (after Start), creating its controller if needed.
  sim::usb::Device& Attach(const UnitSetup& setup);
  // Removes every unit, unloads the driver, saves the registry and checks
  // for leaks. False with a message when any step failed. The driver
  // unloads when its last device goes, so a rig that never attached a unit
  // keeps it loaded and fails here.
  bool Stop(std::string* error);

  sim::Machine& machine() { return *machine_; }
  PDRIVER_OBJECT driver() const { return driver_; }
  const std::vector<sim::usb::Device*>& units() const { return units_; }

  // Runs `body` on a new simulated thread in a user-mode process of its own
  // (a 32-bit one when asked) and waits for it; the process's handles are
  // closed afterwards, as at process exit.
  void RunClient(const std::function<void()>& body, bool is32Bit = false);
  void RunFor(uint64_t duration) { machine_->RunFor(duration); }

 private:
  sim::usb::Controller& ControllerAt(unsigned index);
  void RemoveUnits(std::vector<std::string>* problems);
  void CheckDriverUnloaded(std::vector<std::string>* problems);

  RigOptions options_;
  std::unique_ptr<sim::Machine> machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<sim::usb::Device*> units_;
  // Pool in use before the driver was loaded; what it holds beyond this
  // after unloading is a leak.
  std::map<std::string, sim::Pool::TagUsage> poolBeforeDriver_;
  bool capturing_ = false;
  bool registryReady_ = false;  // loaded, or nothing to load: safe to save over
  bool started_ = false;
  bool stopped_ = false;
};

}  // namespace sim::rig
