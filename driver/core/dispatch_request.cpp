// Request routing for both device objects of a unit: the functional device
// sees its requests here first and passes them to the framework; the
// control device's requests end here.

#include "driver/control/control_router.h"
#include "driver/core/device_context.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_routines.h"

namespace {

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

LONG ReadCount(const LONG* value) { return InterlockedCompareExchange(const_cast<LONG*>(value), 0, 0); }

BOOLEAN IsAcceptingOpens(LONG state) {
  return state == DeviceWorking || state == DeviceSystemWorking || state == DevicePoweredDown;
}

// Back in S0 the MIDI output asks for a restart if it had stopped.
VOID OnSystemWorking(CDeviceContext* context) {
  CUsbDevice& usb = context->UsbDevice;
  if (usb.HighSpeed) {
    KeWaitForSingleObject(&usb.PipeEvent, Executive, KernelMode, FALSE, nullptr);
    KIRQL irql;
    KeAcquireSpinLock(&usb.MidiOut.PipeLock, &irql);
    if (usb.MidiOut.PipeState != MidiPipeRunning) {
      usb.MidiOut.PipeState = MidiPipeRestartRequested;
    }
    KeReleaseSpinLock(&usb.MidiOut.PipeLock, irql);
    KeSetEvent(&usb.PipeEvent, IO_NO_INCREMENT, FALSE);
  }
  LONG state = context->State();
  if (state < 0 || state == DevicePoweredDown || state > DeviceRemoved) {
    context->SetState(DeviceSystemWorking);
  }
}

BOOLEAN IsBusy(CDeviceContext* context) {
  CUsbDevice& usb = context->UsbDevice;
  return usb.HighSpeed && (ReadCount(&usb.MidiOut.OpenStreams) != 0 ||
                           ReadCount(&usb.MidiIn.OpenStreams) != 0 ||
                           ReadCount(&context->Engine.RunMode) != 0);
}

NTSTATUS DispatchFunctional(CDeviceContext* context, PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      NTSTATUS status = PcDispatchIrp(device, irp);
      if (NT_SUCCESS(status) && context) {
        InterlockedIncrement(&context->ReferenceCount);
      }
      return status;
    }
    case IRP_MJ_CLOSE:
      if (context) {
        ReleaseContext(context);
      }
      return PcDispatchIrp(device, irp);
    case IRP_MJ_POWER:
      if (context && stack->MinorFunction == IRP_MN_SET_POWER &&
          stack->Parameters.Power.Type == SystemPowerState &&
          stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
        OnSystemWorking(context);
      }
      return PcDispatchIrp(device, irp);
    case IRP_MJ_PNP:
      if (context && stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        LONG state = context->State();
        if (state != DeviceConstructed && state != DeviceSurpriseRemoved && state != DeviceRemoved) {
          context->SetState(DeviceSurpriseRemoved);
        }
      } else if (context && stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE && IsBusy(context)) {
        // Refused here: passed on, the framework would answer success and
        // the removal would go ahead under the open streams.
        return CompleteRequest(irp, STATUS_DEVICE_BUSY);
      }
      return PcDispatchIrp(device, irp);
    default:
      return PcDispatchIrp(device, irp);
  }
}

NTSTATUS DispatchControl(CDeviceContext* context, PIRP irp) {
  if (!context) {
    return CompleteRequest(irp, STATUS_UNSUCCESSFUL);
  }
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL: {
      KeWaitForSingleObject(&context->ControlRequestEvent, Executive, KernelMode, FALSE, nullptr);
      NTSTATUS status = DispatchControlRequest(context, irp);
      KeSetEvent(&context->ControlRequestEvent, IO_NO_INCREMENT, FALSE);
      return status;
    }
    case IRP_MJ_CREATE:
      if (!IsAcceptingOpens(context->State())) {
        return CompleteRequest(irp, STATUS_DELETE_PENDING);
      }
      InterlockedIncrement(&context->ReferenceCount);
      return CompleteRequest(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
      ReleaseContext(context);
      return CompleteRequest(irp, STATUS_SUCCESS);
    default:
      return CompleteRequest(irp, STATUS_NOT_IMPLEMENTED);
  }
}

}  // namespace

NTSTATUS DispatchRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DEVICE_EXTENSION_HEADER* extension = ExtensionOf(DeviceObject);
  if (!extension || !Irp) {
    return STATUS_INVALID_PARAMETER;
  }
  CDeviceContext* context = extension->Context;
  if (extension->Kind()->IsPortClassDevice()) {
    return DispatchFunctional(context, DeviceObject, Irp);
  }
  return DispatchControl(context, Irp);
}
