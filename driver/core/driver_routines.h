// The driver's entry points into the system and the framework, beside
// DriverEntry. All run at PASSIVE_LEVEL.
#pragma once

#include <wdm.h>
#include <portcls.h>

class CUsbDevice;

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);
// Create, close, device control, power and PnP of both device objects.
NTSTATUS DispatchRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID DriverUnload(PDRIVER_OBJECT DriverObject);

// The MIDI pipes, the engine and the subdevices of a high-speed unit.
NTSTATUS InstallSubdevices(CUsbDevice* usbDevice, ULONG controlIndex, PDEVICE_OBJECT deviceObject,
                           PIRP startRequest, PUNKNOWN adapter);
