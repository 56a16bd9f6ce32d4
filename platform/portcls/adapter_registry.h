// The adapters added with PcAddAdapterDevice: per functional device object
// its start routine, its subdevice limit and its power-management object.
#pragma once

#include <mutex>
#include <vector>

#include <portcls.h>

#include "platform/sim/machine.h"

namespace sim::portcls {

class PortBase;

class AdapterRegistry : public Service {
 public:
  struct Adapter {
    PDEVICE_OBJECT device = nullptr;         // the functional device object
    PDEVICE_OBJECT lowerDevice = nullptr;    // what it is attached to
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
    PADAPTERPOWERMANAGEMENT power = nullptr;  // one reference, from registration
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    // The device state each system state maps to, from the capabilities the
    // bus reported.
    DEVICE_POWER_STATE systemToDevice[PowerSystemMaximum] = {};
  };

  explicit AdapterRegistry(Machine& machine) {}

  void Add(const Adapter& adapter);
  bool Find(PDEVICE_OBJECT device, Adapter* adapter);
  // Replaces the power object; returns the previous one (its reference now
  // belongs to the caller).
  PADAPTERPOWERMANAGEMENT SetPower(PDEVICE_OBJECT device, PADAPTERPOWERMANAGEMENT power);
  void SetDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
  void SetCapabilities(PDEVICE_OBJECT device, const DEVICE_CAPABILITIES& capabilities);
  // A reference on the power object, or null.
  PADAPTERPOWERMANAGEMENT ReferencePower(PDEVICE_OBJECT device);
  // Forgets the adapter; returns its power object (the caller releases it).
  PADAPTERPOWERMANAGEMENT Remove(PDEVICE_OBJECT device);

  // Ports initialised on a device belong to it: its removal retires them
  // whether or not they were registered. Not referenced.
  static void TrackPort(PDEVICE_OBJECT device, PortBase* port);
  void UntrackPort(PortBase* port);
  void ReleasePortsOf(PDEVICE_OBJECT device);

  // 0 when the device is not an adapter or set no limit.
  static ULONG SubdeviceLimit(Machine& machine, PDEVICE_OBJECT device);

 private:
  Adapter* FindLocked(PDEVICE_OBJECT device);

  std::mutex lock_;
  std::vector<Adapter> adapters_;
  std::vector<std::pair<PDEVICE_OBJECT, PortBase*>> ports_;
};

// What the removal of a device does to port-class state: every subdevice
// registered on it is unregistered and every port initialised on it lets
// go of its miniport.
void ReleaseDeviceSubdevices(Machine& machine, PDEVICE_OBJECT device);

}  // namespace sim::portcls
