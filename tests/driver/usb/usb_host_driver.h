// A tiny function driver that hosts the driver's CUsbDevice on the
// simulated bus the way device start and removal do: configuration, bus
// interface, interface selection, pipe records, the MIDI pipes with their
// pools and worker; and in reverse at removal.
#pragma once

#include <functional>

#include <wdm.h>

#include "driver/usb/usb_device.h"

struct UsbHostOptions {
  // Set up and start the MIDI pipes and the pipe worker.
  bool installPipes = true;
  // Runs at surprise removal, before the teardown, on the PnP thread.
  std::function<void(CUsbDevice&)> onSurpriseRemoval;
};

// Set by the test before the unit is attached; the driver only reports.
struct UsbHostState {
  UsbHostOptions options;
  CDriverState settings;
  CUsbDevice* device;  // the last started unit's, null after removal
  BOOLEAN configured;
  BOOLEAN interfacesSelected;
  BOOLEAN pipesBound;
  BOOLEAN pipesInstalled;
  LONG removals;
};
extern UsbHostState g_usbHost;

NTSTATUS UsbHostDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Holding the device's pipe event, as every pipe start and stop does.
void WithPipeEvent(CUsbDevice& device, const std::function<void()>& body);
