// Registration of the unit's port-class subdevices at device start: the MIDI
// subdevice and the wave subdevices at the current rate. PASSIVE_LEVEL.
#pragma once

#include <wdm.h>
#include <portcls.h>

class CDeviceContext;

NTSTATUS RegisterMidiSubdevice(CDeviceContext* context, PDEVICE_OBJECT deviceObject, PIRP startIrp,
                               PUNKNOWN adapter);
NTSTATUS RegisterWaveSubdevices(CDeviceContext* context, ULONG rate, PDEVICE_OBJECT deviceObject,
                                PIRP startIrp, PUNKNOWN adapter);
