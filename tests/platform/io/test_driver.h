// A tiny driver for exercising the I/O and PnP managers: a named control
// device with a link, a few control codes, and a PnP function device.
// Written as a Windows driver against <wdm.h> only.
#pragma once

#include <wdm.h>

#define IOCTL_TEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_NEITHER CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_TEST_PEND_DPC CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_PEND_CANCELABLE CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TEST_OVERFLOW CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)

// What the driver observed, for the tests to read.
struct TestDriverState {
  LONG creates;
  LONG cleanups;
  LONG closes;
  LONG shutdowns;
  LONG unloads;
  LONG surpriseRemovals;
  BOOLEAN refuseQueryRemove;
  BOOLEAN leaveTimerAtUnload;
  SYSTEM_POWER_STATE lastSystemPower;
  DEVICE_POWER_STATE lastDevicePower;
  LONG powerIrps;
  PIRP cancelableIrp;  // the request parked by IOCTL_TEST_PEND_CANCELABLE
  BOOLEAN is32BitCaller;
};
extern TestDriverState g_testDriver;

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
// Creates \Device\TestCtl<n> and \DosDevices\TestCtl<n>.
NTSTATUS TestCreateControlDevice(PDRIVER_OBJECT DriverObject, int n, PDEVICE_OBJECT* Device);
VOID TestDeleteControlDevice(PDEVICE_OBJECT Device, int n);
