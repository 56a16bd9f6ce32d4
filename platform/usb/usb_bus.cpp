// The machine's USB bus: its host controllers, the hub driver that owns
// every unit's device object, and the units' driver keys in the registry.
//
// Lock: `lock_` guards the tables below; it is never held while a
// controller, the PnP manager or the registry runs.

#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "platform/sim/pnp.h"
#include "platform/sim/usb_bus.h"
#include "platform/usb/bus_driver.h"
#include "platform/usb/host_controller.h"

namespace sim::usb {
namespace {

constexpr const char16_t* kMediaClassKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\";
constexpr const char16_t* kInfPath = u"oem12.inf";

class UsbBus : public Service {
 public:
  explicit UsbBus(Machine& machine) : machine_(machine) {}
  static UsbBus& Of(Machine& machine) { return machine.service<UsbBus>(); }

  Controller& Create(const ControllerOptions& options) {
    PDRIVER_OBJECT hub = HubDriver();
    std::lock_guard guard(lock_);
    const auto index = static_cast<unsigned>(controllers_.size());
    std::u16string name = options.name;
    if (name.empty()) {
      name = u"\\DosDevices\\HCD";
      for (char c : std::to_string(index)) name += static_cast<char16_t>(c);
    }
    uint32_t startFrame;
    if (options.startFrame) {
      startFrame = *options.startFrame;
    } else {
      std::mt19937 generator(0x7A41C0DEu + index);
      startFrame = static_cast<uint32_t>(generator());
    }
    controllers_.push_back(std::make_unique<HostController>(machine_, index, name, startFrame, hub));
    return *controllers_.back();
  }

  std::vector<Controller*> controllers() {
    std::lock_guard guard(lock_);
    std::vector<Controller*> result;
    for (auto& controller : controllers_) result.push_back(controller.get());
    return result;
  }

  // The same serial number finds its earlier key unless a unit attached now
  // holds it (two units may share a serial; each gets a key of its own).
  std::u16string AssignKey(const std::u16string& serial) {
    unsigned number;
    {
      std::lock_guard guard(lock_);
      auto& known = keysBySerial_[serial];
      auto free = std::find_if(known.begin(), known.end(), [&](unsigned n) { return !inUse_.count(n); });
      if (free != known.end()) {
        number = *free;
      } else {
        number = nextKey_++;
        known.push_back(number);
      }
      inUse_.insert(number);
    }
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04u", number);
    std::u16string path = kMediaClassKey;
    for (const char* c = digits; *c; ++c) path += static_cast<char16_t>(*c);
    if (!CreateDriverKey(path)) {
      std::fprintf(stderr, "usb bus: cannot create the driver key of a unit; it has none\n");
      return {};
    }
    return path;
  }

  void ReleaseKey(const std::u16string& path) {
    if (path.size() < 4) return;
    unsigned number = 0;
    for (char16_t c : path.substr(path.size() - 4)) number = number * 10 + (c - u'0');
    std::lock_guard guard(lock_);
    inUse_.erase(number);
  }

  void Shutdown() override {
    for (Controller* controller : controllers()) static_cast<HostController*>(controller)->Shutdown();
  }

 private:
  PDRIVER_OBJECT HubDriver() {
    {
      std::lock_guard guard(lock_);
      if (hub_ != nullptr) return hub_;
    }
    // Outside our lock: the PnP manager is a service of its own.
    PDRIVER_OBJECT hub = PnpManager::Of(machine_).CreatePlatformDriver(u"usbhub");
    InstallBusDispatch(hub);
    std::lock_guard guard(lock_);
    if (hub_ == nullptr) hub_ = hub;
    return hub_;
  }

  static bool CreateDriverKey(const std::u16string& path) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(CreateRegistryKeyPath(path, KEY_ALL_ACCESS, &key))) return false;
    std::u16string valueName = u"InfPath";
    UNICODE_STRING value{static_cast<USHORT>(valueName.size() * sizeof(WCHAR)),
                         static_cast<USHORT>(valueName.size() * sizeof(WCHAR)), valueName.data()};
    std::u16string data = kInfPath;
    const NTSTATUS status = ZwSetValueKey(key, &value, 0, REG_SZ, data.data(),
                                          static_cast<ULONG>((data.size() + 1) * sizeof(WCHAR)));
    ZwClose(key);
    return NT_SUCCESS(status);
  }

  Machine& machine_;
  std::mutex lock_;
  PDRIVER_OBJECT hub_ = nullptr;
  std::vector<std::unique_ptr<HostController>> controllers_;
  std::map<std::u16string, std::vector<unsigned>> keysBySerial_;
  std::set<unsigned> inUse_;
  unsigned nextKey_ = 0;
};

}  // namespace

Controller& CreateController(Machine& machine, const ControllerOptions& options) {
  return UsbBus::Of(machine).Create(options);
}

std::vector<Controller*> Controllers(Machine& machine) { return UsbBus::Of(machine).controllers(); }

std::u16string AssignDriverKey(Machine& machine, const std::u16string& serialNumber) {
  return UsbBus::Of(machine).AssignKey(serialNumber);
}

void ReleaseDriverKey(Machine& machine, const std::u16string& path) { UsbBus::Of(machine).ReleaseKey(path); }

}  // namespace sim::usb
