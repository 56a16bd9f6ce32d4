#include "driver/core/device_extension.h"
#include "driver/core/driver_globals.h"
#include "driver/core/driver_routines.h"
#include "driver/core/settings_store.h"

namespace {

constexpr ULONG kRegistryPathTag = 'pRvM';
constexpr ULONG kMaxSubdevices = 11;

// Static storage; the pointers below are what the driver reads, set once
// per load.
CDriverState g_DriverStateStorage;
CAsioGroup g_AsioGroupStorage;
AsioMemberRecord g_AsioMemberStorage[kAsioGroupMembers];

UNICODE_STRING g_RegistryPath;
CDriverState* g_DriverState;
CAsioGroup* g_AsioGroup;
AsioMemberRecord* g_AsioMembers;

VOID FreeRegistryPath() {
  if (g_RegistryPath.Buffer) {
    ExFreePoolWithTag(g_RegistryPath.Buffer, kRegistryPathTag);
  }
  RtlZeroMemory(&g_RegistryPath, sizeof(g_RegistryPath));
}

// A copy with a terminating 0; without one the settings keep their
// defaults.
VOID CopyRegistryPath(PCUNICODE_STRING path) {
  FreeRegistryPath();
  if (!path || !path->Buffer) {
    return;
  }
  const ULONG bytes = static_cast<ULONG>(path->Length) + sizeof(WCHAR);
  auto* buffer = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kRegistryPathTag));
  if (!buffer) {
    return;
  }
  RtlCopyMemory(buffer, path->Buffer, path->Length);
  buffer[path->Length / sizeof(WCHAR)] = 0;
  g_RegistryPath.Buffer = buffer;
  g_RegistryPath.Length = path->Length;
  g_RegistryPath.MaximumLength = static_cast<USHORT>(bytes);
}

}  // namespace

PCUNICODE_STRING DriverRegistryPath() { return g_RegistryPath.Buffer ? &g_RegistryPath : nullptr; }
CDriverState* DriverSettings() { return g_DriverState; }
CAsioGroup* DriverAsioGroup() { return g_AsioGroup; }
AsioMemberRecord* DriverAsioMembers() { return g_AsioMembers; }

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, AddDevice);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchRequest;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchRequest;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchRequest;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchRequest;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchRequest;
  DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
  DriverObject->DriverUnload = DriverUnload;
  CopyRegistryPath(RegistryPath);
  if (!g_DriverState) {
    ConstructSettings(g_DriverStateStorage);
    g_DriverState = &g_DriverStateStorage;
  }
  if (!g_AsioGroup) {
    RtlZeroMemory(&g_AsioGroupStorage, sizeof(g_AsioGroupStorage));
    g_AsioGroupStorage.Initialize();
    g_AsioGroup = &g_AsioGroupStorage;
  }
  if (!g_AsioMembers) {
    RtlZeroMemory(g_AsioMemberStorage, sizeof(g_AsioMemberStorage));
    g_AsioMembers = g_AsioMemberStorage;
  }
  return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  NTSTATUS status = PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, StartDevice,
                                       kMaxSubdevices, kFunctionalExtensionSize);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
  status = IoRegisterShutdownNotification(top);
  FUNCTIONAL_DEVICE_EXTENSION* extension = FunctionalExtensionOf(top);
  new (extension->KindStorage) CFunctionalDeviceKind();
  extension->Context = nullptr;
  extension->DriverObject = DriverObject;
  extension->PhysicalDeviceObject = PhysicalDeviceObject;
  ObDereferenceObject(top);
  return status;
}

NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (!DeviceObject || !DeviceObject->DeviceExtension) {
    return STATUS_INVALID_PARAMETER;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
  FreeRegistryPath();
  g_DriverState = nullptr;
  g_AsioGroup = nullptr;
  g_AsioMembers = nullptr;
  RtlZeroMemory(g_AsioMemberStorage, sizeof(g_AsioMemberStorage));
}
