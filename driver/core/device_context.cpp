#include "driver/core/device_context.h"

#include <ntstrsafe.h>

#include "driver/core/device_extension.h"
#include "driver/core/driver_globals.h"

namespace {

const WCHAR kControlBaseName[] = TEXT("Movakern");

// Formats both names for control device number `number` and points the
// counted strings at them.
BOOLEAN FormatControlNames(CDeviceContext* context, ULONG number) {
  if (!NT_SUCCESS(RtlStringCchPrintfW(context->ControlDeviceName, kControlNameChars,
                                      TEXT("\\Device\\%s%03d"), kControlBaseName, number)) ||
      !NT_SUCCESS(RtlStringCchPrintfW(context->ControlLinkName, kControlNameChars,
                                      TEXT("\\DosDevices\\%s%03d"), kControlBaseName, number))) {
    return FALSE;
  }
  RtlInitUnicodeString(&context->DeviceName, context->ControlDeviceName);
  RtlInitUnicodeString(&context->LinkName, context->ControlLinkName);
  return TRUE;
}

// The first of the four control device names that is free; FALSE when all
// are taken (a fifth unit, or a name still held by a device being deleted).
BOOLEAN CreateControlDevice(CDeviceContext* context) {
  for (ULONG number = 1; number <= kMaxControlDevices; ++number) {
    if (!FormatControlNames(context, number)) {
      continue;
    }
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(context->DriverObject, kControlExtensionSize,
                                     &context->DeviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
      continue;
    }
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    CONTROL_DEVICE_EXTENSION* extension = ExtensionOf(device);
    new (extension->KindStorage) CControlDeviceKind();
    extension->Context = context;
    context->ControlDevice = device;
    context->ControlIndex = number - 1;
    return TRUE;
  }
  return FALSE;
}

VOID DeleteControlDevice(CDeviceContext* context) {
  if (!context->ControlDevice) {
    return;
  }
  ExtensionOf(context->ControlDevice)->Context = nullptr;
  IoDeleteDevice(context->ControlDevice);
  context->ControlDevice = nullptr;
}

}  // namespace

CDeviceContext::CDeviceContext()
    : LastTickTime(0),
      DriverObject(nullptr),
      PhysicalDeviceObject(nullptr),
      LowerDeviceObject(nullptr),
      ControlIndex(0),
      UsbDevice(),
      Engine(),
      TickTimer(),
      ProductId(0),
      ControlDevice(nullptr),
      ControlDeviceName(),
      ControlLinkName(),
      DeviceName(),
      LinkName(),
      PowerObject(nullptr),
      ReferenceCount(0),
      DeviceState(DeviceConstructed) {
  UsbDevice.Initialize(this);
  TickTimer.Owner = this;
  TickTimer.Enabled = 0;
  KeInitializeEvent(&ControlRequestEvent, SynchronizationEvent, TRUE);
}

void* CDeviceContext::operator new(size_t size, POOL_FLAGS flags, ULONG tag) noexcept {
  return ExAllocatePool2(flags, size, tag);
}

void CDeviceContext::operator delete(void* block) {
  ExFreePoolWithTag(block, kDeviceContextTag);
}

SETTINGS_LOCATION SettingsLocationOf(const CDeviceContext* context) {
  return SETTINGS_LOCATION{DriverRegistryPath(), context->ControlIndex};
}

BOOLEAN OpenDevice(CDeviceContext* context) {
  CUsbDevice& usb = context->UsbDevice;
  context->LowerDeviceObject = context->PhysicalDeviceObject;
  usb.Prepare(DriverSettings(), context->LowerDeviceObject);
  if (!usb.SelectConfiguration()) {
    usb.ReleaseConfiguration();
    return FALSE;
  }
  context->ProductId = usb.DeviceDescriptor ? usb.DeviceDescriptor->idProduct : 0;
  if (!CreateControlDevice(context)) {
    return FALSE;
  }
  InitializeTimerResolutionUsers(&usb.TimerResolutionUsers);
  usb.SlotNumber = static_cast<USHORT>(context->ControlIndex);
  LoadSettings(*DriverSettings(), SettingsLocationOf(context));
  usb.QueryBusInterface(context->LowerDeviceObject);
  BOOLEAN opened = usb.SelectInterfaces();
  if (opened && usb.HighSpeed) {
    opened = usb.BindPipe(&usb.MidiOutPipe, kMidiInterface, 0) &&
             usb.BindPipe(&usb.MidiInPipe, kMidiInterface, 1) &&
             (!usb.StreamLayout.HasOutput || usb.BindPipe(&usb.AudioOutPipe, kAudioOutInterface, 0)) &&
             (!usb.StreamLayout.HasInput || usb.BindPipe(&usb.AudioInPipe, kAudioInInterface, 0));
  }
  if (opened && usb.HighSpeed) {
    opened = NT_SUCCESS(IoCreateUnprotectedSymbolicLink(&context->LinkName, &context->DeviceName));
  }
  if (!opened) {
    usb.ReleaseConfiguration();
    DeleteControlDevice(context);
  }
  return opened;
}

VOID ReleaseContext(CDeviceContext* context) {
  if (InterlockedDecrement(&context->ReferenceCount) + 1 > 1) {
    return;
  }
  if (context->ControlDevice) {
    if (context->UsbDevice.HighSpeed) {
      IoDeleteSymbolicLink(&context->LinkName);
    }
    DeleteControlDevice(context);
  }
  delete context;
}

VOID CDeviceContext::OnTimerTick(ULONG elapsed) {
  CUsbDevice& usb = UsbDevice;
  if (usb.HighSpeed && State() == DeviceWorking) {
    usb.MidiOut.CountHaltTick(&usb.PipeWorker, 1);
    usb.MidiIn.CountHaltTick(&usb.PipeWorker, 2);
    Engine.OnTick(elapsed);
  }
}
