#include "driver/core/adapter_object.h"

#include "driver/core/device_context.h"
#include "driver/core/device_extension.h"
#include "driver/core/driver_globals.h"

namespace {

// Holds the USB device's PipeEvent, which serialises MIDI pipe starts,
// stops and interface reselection.
class CPipeEventHold {
 public:
  explicit CPipeEventHold(CUsbDevice& device) : Device(device) {
    KeWaitForSingleObject(&Device.PipeEvent, Executive, KernelMode, FALSE, nullptr);
  }
  ~CPipeEventHold() { KeSetEvent(&Device.PipeEvent, IO_NO_INCREMENT, FALSE); }

 private:
  CUsbDevice& Device;
};

class CAttachLockHold {
 public:
  explicit CAttachLockHold(CStreamEngine& engine) : Engine(engine) { Engine.AcquireAttachLock(); }
  ~CAttachLockHold() { Engine.ReleaseAttachLock(); }

 private:
  CStreamEngine& Engine;
};

}  // namespace

CAdapterObject::~CAdapterObject() {
  if (Context) {
    TearDownDevice();
  }
}

STDMETHODIMP_(NTSTATUS) CAdapterObject::NonDelegatingQueryInterface(REFIID InterfaceId,
                                                                    PVOID* Interface) {
  if (!Interface) {
    return STATUS_INVALID_PARAMETER;
  }
  if (IsEqualGUID(InterfaceId, IID_IUnknown) || IsEqualGUID(InterfaceId, IID_IAdapterContext)) {
    *Interface = static_cast<IAdapterContext*>(this);
  } else if (IsEqualGUID(InterfaceId, IID_IAdapterPowerManagement)) {
    *Interface = static_cast<IAdapterPowerManagement*>(this);
  } else {
    *Interface = nullptr;
    return STATUS_INVALID_PARAMETER;
  }
  NonDelegatingAddRef();
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterObject::Init(PRESOURCELIST ResourceList,
                                            PDEVICE_OBJECT DeviceObject) {
  DEVICE_EXTENSION_HEADER* extension = ExtensionOf(DeviceObject);
  if (!extension || !extension->Context) {
    return STATUS_INVALID_PARAMETER;
  }
  Context = extension->Context;
  PowerState = PowerDeviceD0;
  return STATUS_SUCCESS;
}

STDMETHODIMP_(NTSTATUS) CAdapterObject::QueryPowerChangeState(POWER_STATE NewStateQuery) {
  if (NewStateQuery.DeviceState >= PowerDeviceD0 && NewStateQuery.DeviceState <= PowerDeviceD3) {
    return STATUS_SUCCESS;
  }
  return STATUS_NOT_IMPLEMENTED;
}

STDMETHODIMP_(NTSTATUS) CAdapterObject::QueryDeviceCapabilities(
    PDEVICE_CAPABILITIES PowerDeviceCaps) {
  if (PowerDeviceCaps) {
    PowerDeviceCaps->SurpriseRemovalOK = 1;
  }
  return STATUS_SUCCESS;
}

STDMETHODIMP_(void) CAdapterObject::PowerChangeState(POWER_STATE NewState) {
  DEVICE_POWER_STATE state = NewState.DeviceState;
  if (state == PowerState || !Context) {
    return;
  }
  if (state == PowerDeviceD0) {
    PowerUp();
  } else if (state >= PowerDeviceD1 && state <= PowerDeviceD3) {
    PowerDown(state);
  }
}

VOID CAdapterObject::PowerUp() {
  PowerState = PowerDeviceD0;
  CUsbDevice& usb = Context->UsbDevice;
  // An unplugged unit stays stopped until the next power change.
  if (!usb.IsPortConnected()) {
    return;
  }
  if (usb.HighSpeed) {
    CPipeEventHold hold(usb);
    StartPipes(&usb);
  }
  if (usb.HighSpeed) {
    CAttachLockHold hold(Context->Engine);
    if (!Context->Engine.ResumeEngine()) {
      Context->Engine.SuspendEngine();
    }
  }
  LONG current = Context->State();
  if ((current < 0 || current > DeviceWorking) && current != DeviceSurpriseRemoved &&
      current != DeviceRemoved) {
    Context->SetState(DeviceWorking);
  }
  StartTickTimer(&Context->TickTimer);
}

VOID CAdapterObject::PowerDown(DEVICE_POWER_STATE state) {
  PowerState = state;
  StopTickTimer(&Context->TickTimer);
  SaveSettings(*DriverSettings(), SettingsLocationOf(Context));
  LONG current = Context->State();
  if (current != DeviceConstructed && (current < DevicePoweredDown || current > DeviceRemoved)) {
    Context->SetState(DevicePoweredDown);
  }
  CUsbDevice& usb = Context->UsbDevice;
  if (usb.HighSpeed) {
    {
      CAttachLockHold hold(Context->Engine);
      Context->Engine.SuspendEngine();
    }
    CPipeEventHold hold(usb);
    StopPipes(&usb);
  }
}

VOID CAdapterObject::TearDownDevice() {
  CDeviceContext* context = Context;
  Context = nullptr;
  StopTickTimer(&context->TickTimer);
  SaveSettings(*DriverSettings(), SettingsLocationOf(context));
  if (context->State() != DeviceConstructed) {
    context->SetState(DeviceRemoved);
  }
  CUsbDevice& usb = context->UsbDevice;
  if (usb.HighSpeed) {
    context->Engine.TeardownEngine();
    CPipeEventHold hold(usb);
    usb.PipeWorker.Stop();
    KIRQL irql;
    KeAcquireSpinLock(&usb.MidiOut.PipeLock, &irql);
    usb.MidiOut.PipeState = MidiPipeStopped;
    KeReleaseSpinLock(&usb.MidiOut.PipeLock, irql);
    usb.MidiOut.StopAndResetPipe();
    usb.MidiOut.FreePool();
    usb.MidiIn.StopAndResetPipe();
    usb.MidiIn.FreePool();
  }
  context->PowerObject = nullptr;
  usb.ReleaseConfiguration();
  context->DriverObject = nullptr;
  context->PhysicalDeviceObject = nullptr;
  ReleaseContext(context);
}

NTSTATUS RegisterPowerManagement(CDeviceContext* context, PDEVICE_OBJECT deviceObject,
                                 PIRP startRequest) {
  CAdapterObject* object = new (POOL_FLAG_NON_PAGED, kAdapterPoolTag) CAdapterObject(nullptr);
  if (!object) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  object->NonDelegatingAddRef();
  IAdapterContext* adapter = nullptr;
  NTSTATUS status = object->NonDelegatingQueryInterface(IID_IAdapterContext,
                                                        reinterpret_cast<PVOID*>(&adapter));
  if (NT_SUCCESS(status)) {
    status = adapter->Init(nullptr, deviceObject);
    if (NT_SUCCESS(status)) {
      status = PcRegisterAdapterPowerManagement(static_cast<PUNKNOWN>(adapter), deviceObject);
    }
    if (NT_SUCCESS(status)) {
      context->PowerObject = adapter;
    } else {
      // Not registered: the object goes now and must not tear the unit down.
      object->Context = nullptr;
      adapter->Release();
    }
  }
  object->NonDelegatingRelease();
  return status;
}
