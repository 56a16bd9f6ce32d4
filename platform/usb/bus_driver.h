// The hub driver's side of an attached unit: its physical device object and
// the requests a function driver sends it (internal device control with
// URBs, port status and controller name; PnP, power and the USBDI bus
// interface). Dispatch routines run at the caller's IRQL, at most
// DISPATCH_LEVEL for internal device control, PASSIVE_LEVEL for PnP.
#pragma once

#include <wdm.h>

namespace sim::usb {

class AttachedUnit;

// Fills the hub driver's dispatch table.
void InstallBusDispatch(PDRIVER_OBJECT hubDriver);
// A physical device object whose extension leads to `device`.
NTSTATUS CreatePdo(PDRIVER_OBJECT hubDriver, AttachedUnit* device, PDEVICE_OBJECT* pdo);
AttachedUnit& DeviceOf(PDEVICE_OBJECT pdo);

}  // namespace sim::usb
