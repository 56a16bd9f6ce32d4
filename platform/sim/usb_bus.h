// The simulated USB bus as tests, tools and the rig see it: host
// controllers on a machine, units attached to them, and the faults a person
// can cause by hand (unplugging). Each controller runs its own frame clock
// from the machine's clock; each attached unit gets a physical device object
// that is reported to the PnP manager for the given driver service.
//
// Only sim/, tools and tests include this header.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/sim/machine.h"
#include "sim/unit/tarvik_unit.h"

namespace sim::usb {

struct ControllerOptions {
  // Returned by IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME; empty gives
  // "\DosDevices\HCD<n>" for the n-th controller of the machine (from 0).
  std::u16string name;
  // Frame number (milliseconds) at creation; empty draws one from a
  // generator seeded by the controller's index, so runs repeat.
  std::optional<uint32_t> startFrame;
};

// One unit on a port of a controller.
class Device {
 public:
  virtual ~Device() = default;
  virtual sim::unit::TarvikUnit& unit() = 0;
  // The physical device object; null once an unplug has removed it.
  virtual PDEVICE_OBJECT pdo() const = 0;
  // What the PnP manager's start of the function driver returned.
  virtual NTSTATUS startStatus() const = 0;
  virtual bool connected() const = 0;
  // The cable is pulled: every pending request completes with
  // STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE, later ones fail
  // the same way, and the PnP manager runs surprise removal. Call from a
  // simulated thread at PASSIVE_LEVEL.
  virtual void Unplug() = 0;
};

class Controller {
 public:
  virtual ~Controller() = default;
  virtual const std::u16string& name() const = 0;
  // The frame in progress (milliseconds, wrapping at 32 bits), as
  // QueryBusTime reports it.
  virtual uint32_t FrameNumber() const = 0;
  // Attaches a unit on the next free port and reports its device object
  // to the PnP manager for `service`, a loaded driver. The unit is attached
  // at full speed when config.fullSpeed is set. `prepare`, when given, runs
  // on the new unit before the driver hears of it (to set fault knobs such
  // as RefuseConfiguration). Call from a simulated thread at PASSIVE_LEVEL.
  // The device lives as long as the machine.
  virtual Device& Attach(const sim::unit::UnitConfig& config, const std::u16string& service,
                         const std::function<void(sim::unit::TarvikUnit&)>& prepare = {}) = 0;
  virtual std::vector<Device*> devices() = 0;
  // While set, IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME fails with
  // STATUS_UNSUCCESSFUL, as a stack that cannot tell the name.
  virtual void RefuseNameRequests(bool refuse) = 0;
  // Records every URB submitted to and completed by this controller's
  // devices to a pcap file (Linux usbmon link type, 220) until stopped.
  // False when the file cannot be created.
  virtual bool StartCapture(const std::string& path) = 0;
  virtual void StopCapture() = 0;
};

// Controllers live as long as the machine; the first one created is index 0.
Controller& CreateController(Machine& machine, const ControllerOptions& options = {});
std::vector<Controller*> Controllers(Machine& machine);

}  // namespace sim::usb
