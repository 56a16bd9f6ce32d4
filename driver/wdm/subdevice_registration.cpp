#include "driver/wdm/subdevice_registration.h"

// The MIDI subdevice "Midi%d-%d": its port, miniport and the port's
// registration with the framework.
NTSTATUS RegisterMidiSubdevice(CDeviceContext* context, PDEVICE_OBJECT deviceObject, PIRP startIrp,
                               PUNKNOWN adapter) {
  return STATUS_SUCCESS;
}

// The seven wave subdevices at `rate`, named after the rate so a rate
// change registers them anew.
NTSTATUS RegisterWaveSubdevices(CDeviceContext* context, ULONG rate, PDEVICE_OBJECT deviceObject,
                                PIRP startIrp, PUNKNOWN adapter) {
  return STATUS_SUCCESS;
}
