// The rig (see rig.h).

#include "sim/rig/rig.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "driver/core/driver_globals.h"
#include "platform/sim/dispatcher.h"
#include "platform/sim/registry.h"

namespace sim::rig {

namespace {

constexpr char kIrpStorageTag[] = "Irp ";

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// "0x1ff" or "511", whole, within `limit`.
std::optional<uint32_t> ParseNumber(std::string_view text, uint32_t limit) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  uint32_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > limit)
    return std::nullopt;
  return value;
}

std::optional<double> ParsePpm(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  double value = 0.0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
      std::fabs(value) > kMaxCrystalPpm)
    return std::nullopt;
  return value;
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

std::u16string SerialNumberFor(size_t attachIndex) {
  char text[16];
  std::snprintf(text, sizeof text, "TV%04zu", attachIndex + 1);
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

}  // namespace

std::optional<UnitSetup> ParseUnitSetup(std::string_view text, std::string* error) {
  auto fail = [&](const std::string& message) -> std::optional<UnitSetup> {
    if (error) *error = "unit " + Quoted(text) + ": " + message;
    return std::nullopt;
  };
  UnitSetup setup;
  std::vector<std::string_view> parts;
  for (size_t start = 0;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  if (parts[0] == "hs") {
    setup.fullSpeed = false;
  } else if (parts[0] == "fs") {
    setup.fullSpeed = true;
  } else {
    return fail("unknown speed " + Quoted(parts[0]) + " (hs or fs)");
  }
  std::vector<std::string_view> seen;
  for (size_t i = 1; i < parts.size(); ++i) {
    std::string_view part = parts[i];
    if (part.empty()) return fail("empty modifier");
    size_t equals = part.find('=');
    std::string_view key = part.substr(0, equals);
    std::string_view value = equals == std::string_view::npos ? std::string_view() : part.substr(equals + 1);
    for (std::string_view earlier : seen)
      if (earlier == key) return fail(Quoted(key) + " given twice");
    seen.push_back(key);
    bool hasValue = equals != std::string_view::npos;
    auto malformed = [&](const std::string& expected) { return fail("malformed " + Quoted(part) + " (" + expected + ")"); };
    if (key == "no-config") {
      if (hasValue) return malformed("no-config takes no value");
      setup.refuseConfiguration = true;
    } else if (key == "rates") {
      auto mask = hasValue ? ParseNumber(value, 0x1FF) : std::nullopt;
      if (!mask) return malformed("a rate mask of at most 0x1ff");
      setup.rateMask = static_cast<uint16_t>(*mask);
    } else if (key == "bcd") {
      auto bcd = hasValue ? ParseNumber(value, 0xFFFF) : std::nullopt;
      if (!bcd) return malformed("a 16-bit device release number");
      setup.bcdDevice = static_cast<uint16_t>(*bcd);
    } else if (key == "controller") {
      auto index = hasValue ? ParseNumber(value, kMaxControllers - 1) : std::nullopt;
      if (!index) return malformed("a controller index from 0 to " + std::to_string(kMaxControllers - 1));
      setup.controller = *index;
    } else if (key == "ppm") {
      auto ppm = hasValue ? ParsePpm(value) : std::nullopt;
      if (!ppm) return malformed("a crystal error within +-1000 ppm");
      setup.ppm = *ppm;
    } else {
      return fail("unknown modifier " + Quoted(part));
    }
  }
  return setup;
}

Rig::Rig(RigOptions options) : options_(std::move(options)) {
  sim::MachineOptions machineOptions;
  machineOptions.clock = options_.realtime ? sim::ClockMode::RealTime : sim::ClockMode::Virtual;
  machine_ = std::make_unique<sim::Machine>(machineOptions);
}

Rig::~Rig() {
  if (started_ && !stopped_) {
    std::string error;
    if (!Stop(&error)) std::fprintf(stderr, "rig: %s\n", error.c_str());
  }
}

sim::usb::Controller& Rig::ControllerAt(unsigned index) {
  auto controllers = sim::usb::Controllers(*machine_);
  while (controllers.size() <= index) {
    sim::usb::CreateController(*machine_);
    controllers = sim::usb::Controllers(*machine_);
  }
  return *controllers[index];
}

bool Rig::Start(std::string* error) {
  auto fail = [&](const std::string& message) {
    if (error) *error = message;
    return false;
  };
  if (started_) return fail("the rig is already started");
  started_ = true;

  if (!options_.registryFile.empty()) {
    std::error_code ignored;
    if (std::filesystem::exists(options_.registryFile, ignored)) {
      RegFileResult loaded = machine_->service<sim::Registry>().LoadRegFile(options_.registryFile);
      // The message names the file and the line.
      if (!loaded) return fail("registry file not loaded: " + loaded.message);
    }
  }
  registryReady_ = true;

  unsigned highest = 0;
  for (const UnitSetup& setup : options_.units) highest = std::max(highest, setup.controller);
  ControllerAt(highest);

  if (!options_.pcapFile.empty()) {
    if (!ControllerAt(0).StartCapture(options_.pcapFile))
      return fail("cannot create the capture file " + options_.pcapFile);
    capturing_ = true;
  }

  sim::DriverEntryRoutine entry = options_.driverEntry != nullptr ? options_.driverEntry : &DriverEntry;
  poolBeforeDriver_ = machine_->pool().liveByTag();
  NTSTATUS status = sim::PnpManager::Of(*machine_).LoadDriver(kServiceName, entry, &driver_);
  if (!NT_SUCCESS(status)) {
    driver_ = nullptr;
    return fail("DriverEntry failed with " + Hex(static_cast<uint32_t>(status)));
  }

  for (const UnitSetup& setup : options_.units) Attach(setup);
  return true;
}

sim::usb::Device& Rig::Attach(const UnitSetup& setup) {
  sim::unit::UnitConfig config;
  config.fullSpeed = setup.fullSpeed;
  config.crystalPpm = setup.ppm;
  if (setup.rateMask) {
    config.descriptors.outRateMask = *setup.rateMask;
    config.descriptors.inRateMask = *setup.rateMask;
  }
  if (setup.bcdDevice) config.descriptors.bcdDevice = *setup.bcdDevice;
  config.serialNumber = SerialNumberFor(units_.size());
  std::function<void(sim::unit::TarvikUnit&)> prepare;
  if (setup.refuseConfiguration) prepare = [](sim::unit::TarvikUnit& unit) { unit.RefuseConfiguration(true); };
  sim::usb::Device& device = ControllerAt(setup.controller).Attach(config, kServiceName, prepare);
  units_.push_back(&device);
  return device;
}

void Rig::RemoveUnits(std::vector<std::string>* problems) {
  auto& pnp = sim::PnpManager::Of(*machine_);
  for (size_t i = 0; i < units_.size(); ++i) {
    PDEVICE_OBJECT pdo = units_[i]->pdo();
    if (pdo == nullptr) continue;  // unplugged: already gone
    const sim::PnpManager::DeviceNode* node = pnp.FindNode(pdo);
    if (node == nullptr || node->state == sim::PnpManager::NodeState::Removed) continue;
    NTSTATUS status = pnp.RemoveDevice(pdo);
    if (!NT_SUCCESS(status)) {
      problems->push_back("unit " + std::to_string(i + 1) + " refused removal with " +
                          Hex(static_cast<uint32_t>(status)) + "; it was surprise-removed");
      pnp.SurpriseRemoveDevice(pdo);
    }
  }
}

void Rig::CheckDriverUnloaded(std::vector<std::string>* problems) {
  if (sim::PnpManager::Of(*machine_).IsLoaded(kServiceName)) {
    problems->push_back(units_.empty() ? "Movakern stays loaded: it never got a unit"
                                       : "Movakern did not unload: some of its device objects are still referenced");
    return;
  }
  for (const auto& [tag, usage] : machine_->pool().liveByTag()) {
    // The I/O manager keeps the storage of freed IRPs to catch late use;
    // IRPs still in use were checked when the driver unloaded.
    if (tag == kIrpStorageTag) continue;
    auto before = poolBeforeDriver_.find(tag);
    size_t baseline = before == poolBeforeDriver_.end() ? 0 : before->second.blocks;
    if (usage.blocks > baseline)
      problems->push_back("pool leak: '" + tag + "' " + std::to_string(usage.blocks - baseline) +
                          " blocks left after Movakern unloaded");
  }
}

bool Rig::Stop(std::string* error) {
  if (stopped_) return true;
  stopped_ = true;
  std::vector<std::string> problems;
  if (driver_ != nullptr) {
    RemoveUnits(&problems);
    CheckDriverUnloaded(&problems);
  }
  if (capturing_) ControllerAt(0).StopCapture();
  if (registryReady_ && !options_.registryFile.empty()) {
    RegFileResult saved = machine_->service<sim::Registry>().SaveRegFile(options_.registryFile);
    if (!saved) problems.push_back("cannot save the registry to " + options_.registryFile + ": " + saved.message);
  }
  if (problems.empty()) return true;
  if (error) {
    error->clear();
    for (const std::string& problem : problems) *error += (error->empty() ? "" : "; ") + problem;
  }
  return false;
}

void Rig::RunClient(const std::function<void()>& body, bool is32Bit) {
  sim::Process* process = machine_->objects().CreateProcess(is32Bit);
  {
    sim::SimulatedThread thread(*machine_, body, process);
    thread.Join();
  }
  machine_->objects().CloseAllHandles(*process);
}

}  // namespace sim::rig
