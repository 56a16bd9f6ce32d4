// The PnP and power manager: loads drivers by service name, gives each
// device a bus reports to its driver (AddDevice, then start), and on request
// removes devices (query-remove, remove, surprise removal), changes system
// and device power, sends shutdown, and unloads a driver once its last
// device is gone — with the verifier's leak check.
//
// Every request is sent from the calling thread at PASSIVE_LEVEL and waited
// for; `lock_` guards the node and driver tables only and is never held
// while a driver runs.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/sim/machine.h"

namespace sim {

// Opens a key by its full path (\Registry\Machine\...) as a kernel handle,
// creating it and any missing parents one level at a time, as ZwCreateKey
// creates only the last. PASSIVE_LEVEL.
NTSTATUS CreateRegistryKeyPath(const std::u16string& path, ACCESS_MASK access, HANDLE* key);

using DriverEntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

class PnpManager : public Service {
 public:
  enum class NodeState { Added, Started, StartFailed, SurpriseRemoved, Removed };
  struct DeviceNode {
    PDEVICE_OBJECT pdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    NodeState state = NodeState::Added;
    SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
    DEVICE_POWER_STATE devicePower = PowerDeviceD0;
    DEVICE_CAPABILITIES capabilities{};
  };

  explicit PnpManager(Machine& machine);
  ~PnpManager() override;
  static PnpManager& Of(Machine& machine) { return machine.service<PnpManager>(); }

  // Creates the driver object and its service key
  // (\Registry\Machine\System\CurrentControlSet\Services\NAME) and calls
  // DriverEntry once. Loading a loaded driver returns the same object.
  NTSTATUS LoadDriver(const std::u16string& serviceName, DriverEntryRoutine entry, PDRIVER_OBJECT* driver);
  // A driver object for platform code (a bus) that has no DriverEntry.
  PDRIVER_OBJECT CreatePlatformDriver(const std::u16string& name);
  bool IsLoaded(const std::u16string& serviceName) const;

  // A bus reports a new physical device object for a loaded driver:
  // AddDevice, start, capabilities. Returns the start status.
  NTSTATUS DeviceArrived(PDEVICE_OBJECT pdo, const std::u16string& serviceName);
  // Query-remove, then remove; a refused query is cancelled and returned.
  NTSTATUS RemoveDevice(PDEVICE_OBJECT pdo);
  // The device disappeared: surprise removal, then remove.
  void SurpriseRemoveDevice(PDEVICE_OBJECT pdo);
  // System power: query (refusal aborts a sleep), set, then the device
  // power state the capabilities map the system state to.
  NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);
  NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
  // IRP_MJ_SHUTDOWN to every device registered for it.
  void SendShutdown();

  std::vector<DeviceNode> nodes() const;
  const DeviceNode* FindNode(PDEVICE_OBJECT pdo) const;

  // Called when a device object of `driver` is freed; unloads the driver
  // when nothing of it is left.
  void DeviceObjectFreed(PDRIVER_OBJECT driver);
  static void CountDeviceObject(PDRIVER_OBJECT driver);

  void Shutdown() override;

 private:
  NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr);
  NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
  void FinishRemoval(PDEVICE_OBJECT pdo);
  void MaybeUnload(PDRIVER_OBJECT driver);

  Machine& machine_;
  mutable std::mutex lock_;
  std::vector<DeviceNode> nodes_;
  std::vector<PDRIVER_OBJECT> drivers_;
};

}  // namespace sim
