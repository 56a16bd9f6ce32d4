// Device objects: creation with a name in the namespace, deletion (the name
// stays taken until the last reference goes), device stacks, symbolic links
// and shutdown registration. All PASSIVE_LEVEL.

#include <new>

#include "platform/sim/io_manager.h"
#include "platform/sim/pnp.h"
#include "platform/sim/verifier.h"

namespace sim {

namespace {

struct DeviceBody {
  DEVICE_OBJECT device;
  DeviceInfo info;
};
constexpr size_t kExtensionOffset = (sizeof(DeviceBody) + 15) & ~size_t{15};

void DeleteDeviceBody(PVOID body) {
  auto* device = static_cast<DeviceBody*>(body);
  PDRIVER_OBJECT driver = device->device.DriverObject;
  Machine* machine = Machine::Current();
  if (!device->info.name.empty() && machine) IoManager::Of(*machine).RemoveDeviceName(device->info.name);
  device->~DeviceBody();
  if (machine)
    if (PnpManager* pnp = machine->findService<PnpManager>()) pnp->DeviceObjectFreed(driver);
}

void CheckPassive(const char* routine) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    VerifierFail(rule::kPassiveOnly, std::string(routine) + " above PASSIVE_LEVEL");
}

_OBJECT_TYPE deviceType = {"Device", DeleteDeviceBody, nullptr, STANDARD_RIGHTS_ALL | 0x1FF};
_OBJECT_TYPE* deviceTypePointer = &deviceType;

}  // namespace

DeviceInfo& InfoOf(PDEVICE_OBJECT device) { return reinterpret_cast<DeviceBody*>(device)->info; }

}  // namespace sim

POBJECT_TYPE* IoDeviceObjectType = &sim::deviceTypePointer;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        ULONG DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  sim::CheckPassive("IoCreateDevice");
  *DeviceObject = nullptr;
  sim::Machine& machine = sim::Machine::CurrentChecked();
  void* storage = machine.objects().CreateObject(*IoDeviceObjectType, sim::kExtensionOffset + DeviceExtensionSize);
  if (storage == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* body = new (storage) sim::DeviceBody;
  PDEVICE_OBJECT device = &body->device;
  std::u16string name = sim::FromUnicodeString(DeviceName);
  if (!name.empty()) {
    NTSTATUS status = sim::IoManager::Of(machine).InsertDevice(name, device);
    if (!NT_SUCCESS(status)) {
      machine.objects().Dereference(device);
      return status;
    }
    body->info.name = name;
  }
  device->Type = 3;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (name.empty() ? 0 : DO_DEVICE_HAS_NAME) | (Exclusive ? DO_EXCLUSIVE : 0);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceExtension = DeviceExtensionSize ? static_cast<char*>(storage) + sim::kExtensionOffset : nullptr;
  device->Reserved = &body->info;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  sim::PnpManager::CountDeviceObject(DriverObject);
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  sim::CheckPassive("IoDeleteDevice");
  sim::DeviceInfo& info = sim::InfoOf(DeviceObject);
  if (info.deleted) sim::VerifierFail("DEVICE_DELETED_TWICE", "IoDeleteDevice on a deleted device");
  if (info.attachedTo != nullptr)
    sim::VerifierFail("DEVICE_DELETED_WHILE_ATTACHED", "IoDeleteDevice before IoDetachDevice");
  info.deleted = true;
  sim::Machine& machine = sim::Machine::CurrentChecked();
  sim::IoManager::Of(machine).UnregisterShutdown(DeviceObject);
  for (PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject; *link; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  DeviceObject->NextDevice = nullptr;
  machine.objects().Dereference(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  sim::CheckPassive("IoAttachDeviceToDeviceStack");
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  if (sim::InfoOf(top).deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  sim::InfoOf(SourceDevice).attachedTo = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  PDEVICE_OBJECT attached = TargetDevice->AttachedDevice;
  if (attached == nullptr) sim::VerifierFail("DETACH_WITHOUT_ATTACHMENT", "IoDetachDevice with nothing attached");
  sim::InfoOf(attached).attachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = DeviceObject;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  ObReferenceObject(top);
  return top;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  sim::CheckPassive("IoCreateSymbolicLink");
  return sim::IoManager::Of(sim::Machine::CurrentChecked())
      .CreateLink(sim::FromUnicodeString(SymbolicLinkName), sim::FromUnicodeString(DeviceName));
}

NTSTATUS IoCreateUnprotectedSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  return IoCreateSymbolicLink(SymbolicLinkName, DeviceName);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  sim::CheckPassive("IoDeleteSymbolicLink");
  return sim::IoManager::Of(sim::Machine::CurrentChecked()).DeleteLink(sim::FromUnicodeString(SymbolicLinkName));
}

NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  sim::IoManager::Of(sim::Machine::CurrentChecked()).RegisterShutdown(DeviceObject);
  return STATUS_SUCCESS;
}

VOID IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  sim::IoManager::Of(sim::Machine::CurrentChecked()).UnregisterShutdown(DeviceObject);
}
