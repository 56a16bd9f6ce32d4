// The I/O manager as seen by the rest of the platform: the object namespace
// (devices and symbolic links), file objects, the synchronous request paths
// user mode uses (open, device control, close), IRP accounting for the
// verifier, and device object bookkeeping the PnP manager and buses share.
//
// Locks: `namespaceLock_` guards the namespace, `irpsLock_` the IRP sets;
// neither is held while a driver runs. The cancel spin lock is a real
// KSPIN_LOCK taken at DISPATCH_LEVEL.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace sim {

// Platform bookkeeping behind every device object (DEVICE_OBJECT.Reserved).
struct DeviceInfo {
  std::u16string name;  // canonical namespace path, empty when unnamed
  PDEVICE_OBJECT attachedTo = nullptr;  // the device this one sits on
  bool deleted = false;  // IoDeleteDevice was called
  std::u16string driverKeyPath;  // PDOs: the device's driver key (registry path)
  std::string location;          // PDOs: a readable bus location
};
DeviceInfo& InfoOf(PDEVICE_OBJECT device);

class IoManager : public Service {
 public:
  explicit IoManager(Machine& machine);
  ~IoManager() override;
  static IoManager& Of(Machine& machine) { return machine.service<IoManager>(); }

  // Namespace. Paths are case-insensitive; \DosDevices, \?? and \GLOBAL??
  // name the same directory.
  static std::u16string Canonical(const std::u16string& path);
  NTSTATUS InsertDevice(const std::u16string& name, PDEVICE_OBJECT device);
  void RemoveDeviceName(const std::u16string& name);
  NTSTATUS CreateLink(const std::u16string& link, const std::u16string& target);
  NTSTATUS DeleteLink(const std::u16string& link);
  // Resolves links; returns the device and the remaining path.
  NTSTATUS Resolve(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder);
  std::vector<std::u16string> ListNamespace() const;

  // User-mode request paths, synchronous: each waits for a pending IRP.
  // `path` is an NT path (\??\NAME) or a Win32 device path (\\.\NAME).
  NTSTATUS OpenFile(const std::u16string& path, ACCESS_MASK access, Process* process, HANDLE* handle);
  NTSTATUS DeviceControl(HANDLE file, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                         ULONG outputLength, ULONG_PTR* information);

  // IRP accounting for the verifier.
  void TrackIrp(PIRP irp);
  void ForgetIrp(PIRP irp);
  size_t liveIrps() const;
  void CheckNoIrps(const char* when) const;

  KSPIN_LOCK& cancelLock() { return cancelLock_; }

  // Devices that asked for IRP_MJ_SHUTDOWN.
  void RegisterShutdown(PDEVICE_OBJECT device);
  void UnregisterShutdown(PDEVICE_OBJECT device);
  std::vector<PDEVICE_OBJECT> shutdownDevices() const;

  void Shutdown() override;

 private:
  struct Entry {
    PDEVICE_OBJECT device = nullptr;  // a device, or
    std::u16string target;            // a symbolic link's target
  };

  Machine& machine_;
  mutable std::mutex namespaceLock_;
  std::map<std::u16string, Entry> namespace_;
  mutable std::mutex irpsLock_;
  std::set<PIRP> irps_;
  std::vector<PIRP> quarantine_;  // freed IRPs kept to diagnose late use
  std::vector<PDEVICE_OBJECT> shutdown_;
  KSPIN_LOCK cancelLock_ = 0;

  friend void ReleaseIrpStorage(Machine& machine, PIRP irp);
};

// The text of a counted string.
std::u16string FromUnicodeString(const UNICODE_STRING* string);

}  // namespace sim
