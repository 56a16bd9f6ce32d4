// The machine's subdevice directory: every registered port-class subdevice
// under its device object and name, the way Windows publishes the filters of
// an audio adapter. Names are unique per device object; the directory holds
// one reference on the port of each entry.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <portcls.h>

#include "platform/sim/machine.h"

namespace sim::portcls {

class PortBase;

class SubdeviceDirectory : public Service {
 public:
  struct Entry {
    PDEVICE_OBJECT device;
    std::u16string name;
    PortBase* port;
  };

  explicit SubdeviceDirectory(Machine& machine);
  // Subdevices still registered when the machine is destroyed (after the
  // PnP manager's shutdown removed the devices left) were never unregistered
  // nor removed with their device: the verifier reports them.
  ~SubdeviceDirectory() override;

  NTSTATUS Add(PDEVICE_OBJECT device, std::u16string name, PortBase* port);
  // Drops every name of `port` on `device`.
  NTSTATUS Remove(PDEVICE_OBJECT device, PortBase* port);
  // Drops everything registered on `device` (its removal).
  void RemoveDevice(PDEVICE_OBJECT device);
  size_t CountFor(PDEVICE_OBJECT device);

  std::vector<Entry> List();
  // The port registered under `name` (on `device`, or on any device when
  // null), with a reference; null when there is none.
  // `found` receives the device of the entry.
  PortBase* Find(std::u16string_view name, PDEVICE_OBJECT device, PDEVICE_OBJECT* found = nullptr);

 private:
  void Drop(std::vector<Entry>& removed);

  Machine& machine_;
  std::mutex lock_;
  std::vector<Entry> entries_;
};

}  // namespace sim::portcls
