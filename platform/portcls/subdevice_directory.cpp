#include "platform/portcls/subdevice_directory.h"

#include "platform/portcls/adapter_registry.h"
#include "platform/portcls/port_base.h"
#include "platform/sim/verifier.h"

namespace sim::portcls {

namespace {
std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}
}  // namespace

SubdeviceDirectory::SubdeviceDirectory(Machine& machine) : machine_(machine) {}

NTSTATUS SubdeviceDirectory::Add(PDEVICE_OBJECT device, std::u16string name, PortBase* port) {
  if (name.empty()) return STATUS_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> guard(lock_);
    size_t onDevice = 0;
    for (const Entry& entry : entries_) {
      if (entry.device != device) continue;
      if (entry.name == name) return STATUS_OBJECT_NAME_COLLISION;
      ++onDevice;
    }
    ULONG limit = AdapterRegistry::SubdeviceLimit(machine_, device);
    if (limit && onDevice >= limit) return STATUS_INSUFFICIENT_RESOURCES;
    port->unknown()->AddRef();
    entries_.push_back({device, std::move(name), port});
  }
  port->OnRegistered();
  return STATUS_SUCCESS;
}

void SubdeviceDirectory::Drop(std::vector<Entry>& removed) {
  // Outside the lock: the last release of a port runs driver code.
  for (Entry& entry : removed) {
    entry.port->OnUnregistered();
    entry.port->unknown()->Release();
  }
}

NTSTATUS SubdeviceDirectory::Remove(PDEVICE_OBJECT device, PortBase* port) {
  std::vector<Entry> removed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->device == device && it->port == port) {
        removed.push_back(std::move(*it));
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (removed.empty()) return STATUS_NOT_FOUND;
  Drop(removed);
  return STATUS_SUCCESS;
}

void SubdeviceDirectory::RemoveDevice(PDEVICE_OBJECT device) {
  std::vector<Entry> removed;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->device == device) {
        removed.push_back(std::move(*it));
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }
  Drop(removed);
}

size_t SubdeviceDirectory::CountFor(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> guard(lock_);
  size_t count = 0;
  for (const Entry& entry : entries_) count += entry.device == device;
  return count;
}

std::vector<SubdeviceDirectory::Entry> SubdeviceDirectory::List() {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_;
}

PortBase* SubdeviceDirectory::Find(std::u16string_view name, PDEVICE_OBJECT device,
                                   PDEVICE_OBJECT* found) {
  std::lock_guard<std::mutex> guard(lock_);
  for (const Entry& entry : entries_) {
    if (entry.name != name || (device && entry.device != device)) continue;
    entry.port->unknown()->AddRef();
    if (found) *found = entry.device;
    return entry.port;
  }
  return nullptr;
}

SubdeviceDirectory::~SubdeviceDirectory() {
  if (entries_.empty() || !machine_.options().leakCheck) return;
  std::string detail = std::to_string(entries_.size()) + " subdevice(s) still registered:";
  for (const Entry& entry : entries_) detail += "\n  " + Narrow(entry.name);
  VerifierFail(rule::kObjectLeak, detail);
}

}  // namespace sim::portcls

NTSTATUS NTAPI PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PWSTR Name, PUNKNOWN Unknown) {
  using namespace sim::portcls;
  if (!Name || !Unknown) return STATUS_INVALID_PARAMETER;
  PortBase* port = PortBase::FromUnknown(Unknown);
  if (!port) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
  if (port->initialized()) {
    status = sim::Machine::CurrentChecked().service<SubdeviceDirectory>().Add(
        DeviceObject, std::u16string(Name), port);
  }
  port->unknown()->Release();
  return status;
}
