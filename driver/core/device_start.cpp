// Device start: the context, the USB device and control device, the
// adapter object, then the MIDI pipes, the engine and the subdevices.

#include "driver/core/adapter_object.h"
#include "driver/core/device_context.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_routines.h"
#include "driver/wdm/subdevice_registration.h"

namespace {

constexpr ULONG kIsoBufferBytes = 81920;

// Undoes a start that will not run the unit: the context goes (the
// OpenDevice reference was its only one) and the device is inert.
VOID AbandonContext(FUNCTIONAL_DEVICE_EXTENSION* extension) {
  CDeviceContext* context = extension->Context;
  context->PowerObject = nullptr;
  context->UsbDevice.ReleaseConfiguration();
  context->DriverObject = nullptr;
  context->PhysicalDeviceObject = nullptr;
  extension->Context = nullptr;
  ReleaseContext(context);
}

VOID SetUpMidiPipes(CUsbDevice* usb) {
  usb->MidiOut.Setup(usb, &usb->MidiOutPipe, nullptr);
  KIRQL irql;
  KeAcquireSpinLock(&usb->MidiOut.PipeLock, &irql);
  usb->MidiOut.PipeState = MidiPipeRunning;
  KeReleaseSpinLock(&usb->MidiOut.PipeLock, irql);
  usb->MidiIn.Setup(usb, &usb->MidiInPipe, nullptr);
}

// Holding the pipe event: the MIDI requests, the MIDI subdevice, the first
// MIDI read and the pipe worker.
NTSTATUS StartMidi(CUsbDevice* usb, PDEVICE_OBJECT deviceObject, PIRP startRequest,
                   PUNKNOWN adapter) {
  KeWaitForSingleObject(&usb->PipeEvent, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (usb->MidiOut.CreatePool()) {
    if (usb->MidiIn.CreatePool()) {
      status = RegisterMidiSubdevice(usb->Context, deviceObject, startRequest, adapter);
    } else {
      usb->MidiOut.FreePool();
    }
  }
  if (NT_SUCCESS(status)) {
    usb->MidiIn.StartPipe();
    // Without the worker only halt recovery is lost; the start goes on.
    usb->PipeWorker.Start();
  }
  KeSetEvent(&usb->PipeEvent, IO_NO_INCREMENT, FALSE);
  return status;
}

NTSTATUS StartAudio(CUsbDevice* usb, PDEVICE_OBJECT deviceObject, PIRP startRequest,
                    PUNKNOWN adapter) {
  CStreamEngine& engine = usb->Context->Engine;
  if ((usb->StreamLayout.HasOutput && !AllocateIsoBuffers(&engine.IsoOutPool, kIsoBufferBytes)) ||
      (usb->StreamLayout.HasInput && !AllocateIsoBuffers(&engine.IsoInPool, kIsoBufferBytes))) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!engine.StartWorker()) {
    return STATUS_UNSUCCESSFUL;
  }
  return RegisterWaveSubdevices(usb->Context, usb->EngineRate, deviceObject, startRequest, adapter);
}

}  // namespace

NTSTATUS InstallSubdevices(CUsbDevice* usbDevice, ULONG controlIndex, PDEVICE_OBJECT deviceObject,
                           PIRP startRequest, PUNKNOWN adapter) {
  CDeviceContext* context = usbDevice->Context;
  if (usbDevice->HighSpeed) {
    SetUpMidiPipes(usbDevice);
    usbDevice->PipeWorker.Initialize(usbDevice);
    NTSTATUS status = context->Engine.InitEngine(&usbDevice->AudioOutPipe, &usbDevice->AudioInPipe,
                                                 usbDevice, &usbDevice->TimerResolutionUsers,
                                                 controlIndex, usbDevice);
    if (NT_SUCCESS(status)) {
      status = StartMidi(usbDevice, deviceObject, startRequest, adapter);
    }
    if (NT_SUCCESS(status)) {
      status = StartAudio(usbDevice, deviceObject, startRequest, adapter);
    }
    if (!NT_SUCCESS(status)) {
      return status;
    }
  }
  LONG state = context->State();
  if (state < DeviceWorking || state > DevicePoweredDown) {
    context->SetState(DeviceWorking);
  }
  return STATUS_SUCCESS;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList) {
  FUNCTIONAL_DEVICE_EXTENSION* extension = FunctionalExtensionOf(DeviceObject);
  if (!extension) {
    return STATUS_INVALID_PARAMETER;
  }
  extension->Context = nullptr;
  // Without a context (here or below) the unit runs inert: the framework's
  // requests still pass, there is no control device.
  CDeviceContext* context = new (POOL_FLAG_NON_PAGED, kDeviceContextTag) CDeviceContext();
  if (!context) {
    return STATUS_SUCCESS;
  }
  context->DriverObject = extension->DriverObject;
  context->PhysicalDeviceObject = extension->PhysicalDeviceObject;
  extension->Context = context;

  BOOLEAN opened = OpenDevice(context);
  InterlockedIncrement(&context->ReferenceCount);
  if (!opened) {
    AbandonContext(extension);
    return STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(RegisterPowerManagement(context, DeviceObject, Irp))) {
    // Nobody would tear an unregistered unit down at removal.
    AbandonContext(extension);
    return STATUS_UNSUCCESSFUL;
  }
  IAdapterContext* adapter = context->PowerObject;
  NTSTATUS status = InstallSubdevices(&context->UsbDevice, context->ControlIndex, DeviceObject, Irp,
                                      static_cast<PUNKNOWN>(adapter));
  if (NT_SUCCESS(status)) {
    StartTickTimer(&context->TickTimer);
  }
  // The framework keeps its own reference until removal.
  adapter->Release();
  return NT_SUCCESS(status) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
