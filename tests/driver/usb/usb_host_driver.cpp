#include "tests/driver/usb/usb_host_driver.h"

#include <new>

#include "tests/support/forwarding.h"

UsbHostState g_usbHost;

namespace {

using test_support::ForwardAndWait;

constexpr ULONG kHostTag = 'tsoH';

struct FdoExtension {
  PDEVICE_OBJECT lower;
  CUsbDevice* usb;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void InstallPipes(CUsbDevice& usb) {
  usb.MidiOut.Setup(&usb, &usb.MidiOutPipe, nullptr);
  usb.MidiIn.Setup(&usb, &usb.MidiInPipe, nullptr);
  usb.PipeWorker.Initialize(&usb);
  WithPipeEvent(usb, [&] {
    if (!usb.MidiOut.CreatePool()) return;
    if (!usb.MidiIn.CreatePool()) {
      usb.MidiOut.FreePool();
      return;
    }
    usb.MidiOut.LockPipe();
    usb.MidiOut.PipeState = MidiPipeRunning;
    usb.MidiOut.UnlockPipe();
    usb.MidiIn.StartPipe();
    usb.PipeWorker.Start();
    g_usbHost.pipesInstalled = TRUE;
  });
}

void StartUsb(FdoExtension& fdo) {
  void* memory = ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(CUsbDevice), kHostTag);
  if (memory == nullptr) return;
  CUsbDevice& usb = *new (memory) CUsbDevice();
  fdo.usb = &usb;
  g_usbHost.device = &usb;
  usb.Initialize(nullptr);
  usb.Prepare(&g_usbHost.settings, fdo.lower);
  g_usbHost.configured = usb.SelectConfiguration();
  if (!g_usbHost.configured) {
    usb.ReleaseConfiguration();
    return;
  }
  usb.QueryBusInterface(fdo.lower);
  g_usbHost.interfacesSelected = usb.SelectInterfaces();
  if (!g_usbHost.interfacesSelected || !usb.HighSpeed) return;
  g_usbHost.pipesBound = usb.BindPipe(&usb.MidiOutPipe, kMidiInterface, 0) &&
                         usb.BindPipe(&usb.MidiInPipe, kMidiInterface, 1) &&
                         usb.BindPipe(&usb.AudioOutPipe, kAudioOutInterface, 0) &&
                         usb.BindPipe(&usb.AudioInPipe, kAudioInInterface, 0);
  if (g_usbHost.pipesBound && g_usbHost.options.installPipes) InstallPipes(usb);
}

void StopUsb(FdoExtension& fdo) {
  CUsbDevice* usb = fdo.usb;
  if (usb == nullptr) return;
  if (g_usbHost.pipesInstalled) {
    WithPipeEvent(*usb, [&] {
      StopPipes(usb);
      usb->MidiOut.FreePool();
      usb->MidiIn.FreePool();
    });
    g_usbHost.pipesInstalled = FALSE;
  }
  usb->ReleaseConfiguration();
  usb->~CUsbDevice();
  ExFreePoolWithTag(usb, kHostTag);
  fdo.usb = nullptr;
  if (g_usbHost.device == usb) g_usbHost.device = nullptr;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
  auto& fdo = *static_cast<FdoExtension*>(deviceObject->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      const NTSTATUS status = ForwardAndWait(fdo.lower, irp);
      if (NT_SUCCESS(status)) StartUsb(fdo);
      return Complete(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL:
      if (fdo.usb != nullptr && g_usbHost.options.onSurpriseRemoval) g_usbHost.options.onSurpriseRemoval(*fdo.usb);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      StopUsb(fdo);
      InterlockedIncrement(&g_usbHost.removals);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      const NTSTATUS status = IoCallDriver(fdo.lower, irp);
      IoDetachDevice(fdo.lower);
      IoDeleteDevice(deviceObject);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(fdo.lower, irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<FdoExtension*>(deviceObject->DeviceExtension)->lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  const NTSTATUS status =
      IoCreateDevice(driverObject, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto& extension = *static_cast<FdoExtension*>(fdo->DeviceExtension);
  extension.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  extension.usb = nullptr;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace

void WithPipeEvent(CUsbDevice& device, const std::function<void()>& body) {
  KeWaitForSingleObject(&device.PipeEvent, Executive, KernelMode, FALSE, nullptr);
  body();
  KeSetEvent(&device.PipeEvent, IO_NO_INCREMENT, FALSE);
}

NTSTATUS UsbHostDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING) {
  driverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  driverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}
