// The PnP and power manager (see platform/sim/pnp.h).

#include "platform/sim/pnp.h"

#include <algorithm>
#include <new>

#include "platform/kernel/irp_context.h"
#include "platform/sim/dispatcher.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/verifier.h"

namespace sim {

namespace {

constexpr const char16_t* kServicesKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

struct DriverRecord {
  DRIVER_OBJECT object;
  DRIVER_EXTENSION extension;
  std::u16string serviceName;
  std::u16string driverName;    // \Driver\NAME
  std::u16string registryPath;  // the service key
  int liveDevices = 0;
  bool unloaded = false;
};

// DRIVER_OBJECT.DriverSection points here for driver objects made by us.
char driverRecordMark;

DriverRecord* RecordOf(PDRIVER_OBJECT driver) {
  if (driver == nullptr || driver->DriverSection != &driverRecordMark) return nullptr;
  return reinterpret_cast<DriverRecord*>(driver);
}

void DeleteDriverRecord(PVOID body) { ObjectManager::DestroyBody<DriverRecord>(body); }

_OBJECT_TYPE driverType = {"Driver", DeleteDriverRecord, nullptr, STANDARD_RIGHTS_ALL | 0x1FF};
_OBJECT_TYPE* driverTypePointer = &driverType;

NTSTATUS CompleteWithCurrentStatus(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void SetUnicode(UNICODE_STRING* target, std::u16string& text) {
  target->Buffer = text.data();
  target->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  target->MaximumLength = target->Length;
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

void CheckPassive(const char* what) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) VerifierFail(rule::kPassiveOnly, std::string(what) + " above PASSIVE_LEVEL");
}

PDRIVER_OBJECT NewDriverObject(Machine& machine, const std::u16string& serviceName) {
  auto* record = machine.objects().New<DriverRecord>(*IoDriverObjectType);
  record->serviceName = serviceName;
  record->driverName = u"\\Driver\\" + serviceName;
  record->registryPath = kServicesKey + serviceName;
  record->object.Type = 4;
  record->object.Size = sizeof(DRIVER_OBJECT);
  record->object.DriverSection = &driverRecordMark;
  record->object.DriverExtension = &record->extension;
  record->extension.DriverObject = &record->object;
  SetUnicode(&record->extension.ServiceKeyName, record->serviceName);
  SetUnicode(&record->object.DriverName, record->driverName);
  for (auto& dispatch : record->object.MajorFunction) dispatch = CompleteWithCurrentStatus;
  return &record->object;
}

}  // namespace

NTSTATUS CreateRegistryKeyPath(const std::u16string& path, ACCESS_MASK access, HANDLE* key) {
  static const std::u16string kRoot = u"\\Registry\\Machine";
  if (path.size() <= kRoot.size() || path.compare(0, kRoot.size(), kRoot) != 0) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  HANDLE parent = nullptr;
  size_t start = 0;
  size_t end = kRoot.size();
  NTSTATUS status = STATUS_SUCCESS;
  for (;;) {
    std::u16string component = path.substr(start, end - start);
    UNICODE_STRING name;
    SetUnicode(&name, component);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
    HANDLE child;
    ULONG disposition;
    bool last = end == path.size();
    status = ZwCreateKey(&child, last ? access : KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE,
                         &disposition);
    if (parent) ZwClose(parent);
    if (!NT_SUCCESS(status)) return status;
    if (last) {
      *key = child;
      return STATUS_SUCCESS;
    }
    parent = child;
    start = end + 1;
    end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
  }
}

PnpManager::PnpManager(Machine& machine) : machine_(machine) {}

PnpManager::~PnpManager() {
  for (PDRIVER_OBJECT driver : drivers_) machine_.objects().Dereference(driver);
}

void PnpManager::CountDeviceObject(PDRIVER_OBJECT driver) {
  if (DriverRecord* record = RecordOf(driver)) ++record->liveDevices;
}

NTSTATUS PnpManager::LoadDriver(const std::u16string& serviceName, DriverEntryRoutine entry, PDRIVER_OBJECT* result) {
  CheckPassive("LoadDriver");
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (PDRIVER_OBJECT driver : drivers_) {
      DriverRecord* record = RecordOf(driver);
      if (!record->unloaded && record->serviceName == serviceName) {
        if (result) *result = driver;
        return STATUS_SUCCESS;
      }
    }
  }
  PDRIVER_OBJECT driver = NewDriverObject(machine_, serviceName);
  DriverRecord* record = RecordOf(driver);
  HANDLE key;
  if (NT_SUCCESS(CreateRegistryKeyPath(record->registryPath, KEY_ALL_ACCESS, &key))) ZwClose(key);
  UNICODE_STRING registryPath;
  SetUnicode(&registryPath, record->registryPath);
  driver->DriverInit = entry;
  NTSTATUS status = entry(driver, &registryPath);
  if (!NT_SUCCESS(status)) {
    machine_.objects().Dereference(driver);
    return status;
  }
  {
    std::lock_guard<std::mutex> guard(lock_);
    drivers_.push_back(driver);
  }
  if (result) *result = driver;
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT PnpManager::CreatePlatformDriver(const std::u16string& name) {
  PDRIVER_OBJECT driver = NewDriverObject(machine_, name);
  std::lock_guard<std::mutex> guard(lock_);
  drivers_.push_back(driver);
  return driver;
}

bool PnpManager::IsLoaded(const std::u16string& serviceName) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (PDRIVER_OBJECT driver : drivers_) {
    DriverRecord* record = RecordOf(driver);
    if (!record->unloaded && record->serviceName == serviceName) return true;
  }
  return false;
}

namespace {

// A request the manager sends and waits for; IoStatus starts as
// STATUS_NOT_SUPPORTED, as Windows sends PnP and power requests.
struct SyncRequest {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  PIRP irp = nullptr;

  SyncRequest(Machine& machine, PDEVICE_OBJECT target, UCHAR major, UCHAR minor) {
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp = AllocateIrp(machine, target->StackSize, IrpOrigin::BuiltRequest, std::source_location::current());
    if (irp == nullptr) return;
    auto* context = static_cast<IrpContext*>(irp->PlatformContext);
    context->event = &event;
    context->iosb = &iosb;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    next()->MajorFunction = major;
    next()->MinorFunction = minor;
  }
  PIO_STACK_LOCATION next() { return IoGetNextIrpStackLocation(irp); }
  NTSTATUS Send(PDEVICE_OBJECT target) {
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    return SendAndWait(target, irp, &event, &iosb);
  }
};

}  // namespace

NTSTATUS PnpManager::SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities) {
  static CM_RESOURCE_LIST noResources = {0};
  PDEVICE_OBJECT top = TopOf(pdo);
  SyncRequest request(machine_, top, IRP_MJ_PNP, minor);
  if (request.irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (minor == IRP_MN_START_DEVICE) {
    request.next()->Parameters.StartDevice.AllocatedResources = &noResources;
    request.next()->Parameters.StartDevice.AllocatedResourcesTranslated = &noResources;
  } else if (minor == IRP_MN_QUERY_CAPABILITIES) {
    request.next()->Parameters.DeviceCapabilities.Capabilities = capabilities;
  }
  return request.Send(top);
}

NTSTATUS PnpManager::SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  PDEVICE_OBJECT top = TopOf(pdo);
  SyncRequest request(machine_, top, IRP_MJ_POWER, minor);
  if (request.irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  request.next()->Parameters.Power.Type = type;
  request.next()->Parameters.Power.State = state;
  request.next()->Parameters.Power.ShutdownType =
      type == SystemPowerState && state.SystemState == PowerSystemShutdown ? PowerActionShutdown : PowerActionNone;
  return request.Send(top);
}

NTSTATUS PnpManager::DeviceArrived(PDEVICE_OBJECT pdo, const std::u16string& serviceName) {
  CheckPassive("DeviceArrived");
  PDRIVER_OBJECT driver = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (PDRIVER_OBJECT candidate : drivers_) {
      DriverRecord* record = RecordOf(candidate);
      if (!record->unloaded && record->serviceName == serviceName) driver = candidate;
    }
  }
  if (driver == nullptr) return STATUS_NO_SUCH_DEVICE;
  PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
  if (addDevice == nullptr) return STATUS_NOT_SUPPORTED;
  DeviceNode node;
  node.pdo = pdo;
  node.driver = driver;
  {
    std::lock_guard<std::mutex> guard(lock_);
    nodes_.push_back(node);
  }
  NTSTATUS status = addDevice(driver, pdo);
  if (NT_SUCCESS(status) && (TopOf(pdo)->Flags & DO_DEVICE_INITIALIZING))
    VerifierFail("DEVICE_LEFT_INITIALIZING", "AddDevice returned without clearing DO_DEVICE_INITIALIZING");
  if (NT_SUCCESS(status)) status = SendPnp(pdo, IRP_MN_START_DEVICE);
  DEVICE_CAPABILITIES capabilities{};
  if (NT_SUCCESS(status)) {
    capabilities.Size = sizeof(capabilities);
    capabilities.Version = 1;
    capabilities.Address = ~0u;
    capabilities.UINumber = ~0u;
    capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) capabilities.DeviceState[s] = PowerDeviceD3;
    SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, &capabilities);
  }
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& n : nodes_) {
    if (n.pdo != pdo || n.state != NodeState::Added) continue;
    n.state = NT_SUCCESS(status) ? NodeState::Started : NodeState::StartFailed;
    n.capabilities = capabilities;
  }
  return status;
}

NTSTATUS PnpManager::RemoveDevice(PDEVICE_OBJECT pdo) {
  CheckPassive("RemoveDevice");
  const DeviceNode* node = FindNode(pdo);
  if (node == nullptr) return STATUS_NO_SUCH_DEVICE;
  if (node->state == NodeState::Started) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status)) {
      SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
      return status;
    }
  }
  FinishRemoval(pdo);
  return STATUS_SUCCESS;
}

void PnpManager::SurpriseRemoveDevice(PDEVICE_OBJECT pdo) {
  CheckPassive("SurpriseRemoveDevice");
  const DeviceNode* node = FindNode(pdo);
  if (node == nullptr) return;
  if (node->state == NodeState::Started) {
    SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& n : nodes_)
      if (n.pdo == pdo && n.state == NodeState::Started) n.state = NodeState::SurpriseRemoved;
  }
  FinishRemoval(pdo);
}

void PnpManager::FinishRemoval(PDEVICE_OBJECT pdo) {
  PDRIVER_OBJECT driver = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& n : nodes_)
      if (n.pdo == pdo && n.state != NodeState::Removed) driver = n.driver;
  }
  if (driver == nullptr) return;
  // The function driver detaches and deletes its device here; once this
  // returns, no request reaches the stack again.
  SendPnp(pdo, IRP_MN_REMOVE_DEVICE);
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& n : nodes_)
      if (n.pdo == pdo) n.state = NodeState::Removed;
  }
  MaybeUnload(driver);
}

NTSTATUS PnpManager::SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
  CheckPassive("SetDevicePower");
  POWER_STATE power;
  power.DeviceState = state;
  NTSTATUS status = SendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, power);
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& n : nodes_)
    if (n.pdo == pdo && NT_SUCCESS(status)) n.devicePower = state;
  return status;
}

NTSTATUS PnpManager::SetSystemPower(SYSTEM_POWER_STATE state) {
  CheckPassive("SetSystemPower");
  std::vector<DeviceNode> started;
  for (const auto& n : nodes())
    if (n.state == NodeState::Started) started.push_back(n);
  POWER_STATE power;
  power.SystemState = state;
  if (state != PowerSystemWorking) {
    for (const auto& n : started) {
      NTSTATUS status = SendPower(n.pdo, IRP_MN_QUERY_POWER, SystemPowerState, power);
      if (!NT_SUCCESS(status) && state != PowerSystemShutdown) return status;
    }
  }
  for (const auto& n : started) {
    SendPower(n.pdo, IRP_MN_SET_POWER, SystemPowerState, power);
    DEVICE_POWER_STATE device = n.capabilities.DeviceState[state];
    if (device == PowerDeviceUnspecified) device = state == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (device != n.devicePower) SetDevicePower(n.pdo, device);
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& m : nodes_)
      if (m.pdo == n.pdo) m.systemPower = state;
  }
  return STATUS_SUCCESS;
}

void PnpManager::SendShutdown() {
  for (PDEVICE_OBJECT device : IoManager::Of(machine_).shutdownDevices()) {
    SyncRequest request(machine_, device, IRP_MJ_SHUTDOWN, 0);
    request.Send(device);
  }
}

std::vector<PnpManager::DeviceNode> PnpManager::nodes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return nodes_;
}

const PnpManager::DeviceNode* PnpManager::FindNode(PDEVICE_OBJECT pdo) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& n : nodes_)
    if (n.pdo == pdo) return &n;
  return nullptr;
}

void PnpManager::DeviceObjectFreed(PDRIVER_OBJECT driver) {
  DriverRecord* record = RecordOf(driver);
  if (record == nullptr) return;
  --record->liveDevices;
  MaybeUnload(driver);
}

void PnpManager::MaybeUnload(PDRIVER_OBJECT driver) {
  DriverRecord* record = RecordOf(driver);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (record == nullptr || record->unloaded || driver->DriverInit == nullptr) return;
    if (record->liveDevices > 0) return;
    for (const auto& n : nodes_)
      if (n.driver == driver && n.state != NodeState::Removed) return;
    bool hadDevices = false;
    for (const auto& n : nodes_) hadDevices |= n.driver == driver;
    if (!hadDevices) return;  // loaded, never given a device
    record->unloaded = true;
  }
  if (driver->DriverUnload) driver->DriverUnload(driver);
  if (machine_.options().leakCheck) {
    if (driver->DeviceObject != nullptr)
      VerifierFail(rule::kDeviceLeak, "driver unloaded with device objects left");
    IoManager::Of(machine_).CheckNoIrps("after the driver unloaded");
    auto timers = machine_.dispatcher().ActiveTimers();
    if (!timers.empty()) VerifierFail(rule::kTimerLeak, "after the driver unloaded: " + timers.front());
    machine_.dispatcher().ReapThreads(false);
    auto threads = machine_.dispatcher().RunningThreads();
    if (!threads.empty()) VerifierFail(rule::kThreadLeak, "after the driver unloaded: " + threads.front());
  }
}

void PnpManager::Shutdown() {
  std::vector<PDEVICE_OBJECT> live;
  for (const auto& n : nodes())
    if (n.state != NodeState::Removed) live.push_back(n.pdo);
  for (PDEVICE_OBJECT pdo : live) FinishRemoval(pdo);
}

}  // namespace sim

POBJECT_TYPE* IoDriverObjectType = &sim::driverTypePointer;

VOID PoStartNextPowerIrp(PIRP) {}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IoCallDriver(DeviceObject, Irp); }

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State) { return State; }

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey) {
  *DeviceRegKey = nullptr;
  if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER) return STATUS_INVALID_PARAMETER;
  const std::u16string& path = sim::InfoOf(DeviceObject).driverKeyPath;
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  return sim::CreateRegistryKeyPath(path, DesiredAccess, DeviceRegKey);
}
