#include "platform/portcls/adapter_registry.h"

#include <algorithm>

#include "platform/portcls/port_base.h"
#include "platform/portcls/subdevice_directory.h"

namespace sim::portcls {

AdapterRegistry::Adapter* AdapterRegistry::FindLocked(PDEVICE_OBJECT device) {
  for (Adapter& adapter : adapters_)
    if (adapter.device == device) return &adapter;
  return nullptr;
}

void AdapterRegistry::Add(const Adapter& adapter) {
  std::lock_guard<std::mutex> guard(lock_);
  adapters_.push_back(adapter);
}

bool AdapterRegistry::Find(PDEVICE_OBJECT device, Adapter* adapter) {
  std::lock_guard<std::mutex> guard(lock_);
  Adapter* found = FindLocked(device);
  if (found && adapter) *adapter = *found;
  return found != nullptr;
}

PADAPTERPOWERMANAGEMENT AdapterRegistry::SetPower(PDEVICE_OBJECT device,
                                                  PADAPTERPOWERMANAGEMENT power) {
  std::lock_guard<std::mutex> guard(lock_);
  Adapter* found = FindLocked(device);
  if (!found) return power;
  std::swap(found->power, power);
  return power;
}

void AdapterRegistry::SetDevicePower(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
  std::lock_guard<std::mutex> guard(lock_);
  if (Adapter* found = FindLocked(device)) found->devicePower = state;
}

void AdapterRegistry::SetCapabilities(PDEVICE_OBJECT device,
                                      const DEVICE_CAPABILITIES& capabilities) {
  std::lock_guard<std::mutex> guard(lock_);
  if (Adapter* found = FindLocked(device))
    for (int s = 0; s < PowerSystemMaximum; ++s)
      found->systemToDevice[s] = capabilities.DeviceState[s];
}

PADAPTERPOWERMANAGEMENT AdapterRegistry::ReferencePower(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(lock_);
  Adapter* found = FindLocked(device);
  if (!found || !found->power) return nullptr;
  found->power->AddRef();
  return found->power;
}

PADAPTERPOWERMANAGEMENT AdapterRegistry::Remove(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = std::find_if(adapters_.begin(), adapters_.end(),
                         [&](const Adapter& adapter) { return adapter.device == device; });
  if (it == adapters_.end()) return nullptr;
  PADAPTERPOWERMANAGEMENT power = it->power;
  adapters_.erase(it);
  return power;
}

void AdapterRegistry::TrackPort(PDEVICE_OBJECT device, PortBase* port) {
  if (!device) return;
  auto& registry = Machine::CurrentChecked().service<AdapterRegistry>();
  std::lock_guard<std::mutex> guard(registry.lock_);
  registry.ports_.emplace_back(device, port);
}

void AdapterRegistry::UntrackPort(PortBase* port) {
  std::lock_guard<std::mutex> guard(lock_);
  std::erase_if(ports_, [&](const auto& entry) { return entry.second == port; });
}

void AdapterRegistry::ReleasePortsOf(PDEVICE_OBJECT device) {
  std::vector<PortBase*> ports;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [owner, port] : ports_)
      if (owner == device && port->TryAddRef()) ports.push_back(port);
  }
  for (PortBase* port : ports) {
    port->Retire();
    port->unknown()->Release();
  }
}

ULONG AdapterRegistry::SubdeviceLimit(Machine& machine, PDEVICE_OBJECT device) {
  auto* registry = machine.findService<AdapterRegistry>();
  if (!registry) return 0;
  Adapter adapter;
  return registry->Find(device, &adapter) ? adapter.maxObjects : 0;
}

void ReleaseDeviceSubdevices(Machine& machine, PDEVICE_OBJECT device) {
  machine.service<SubdeviceDirectory>().RemoveDevice(device);
  machine.service<AdapterRegistry>().ReleasePortsOf(device);
}

}  // namespace sim::portcls
