// The driver-wide objects: set up once by DriverEntry (a second call keeps
// them), cleared by DriverUnload. Read at any IRQL; nothing writes them
// while a device exists.
#pragma once

#include <wdm.h>

#include "driver/core/driver_state.h"
#include "driver/engine/asio_group.h"

// The service key path DriverEntry received, or null when it could not be
// kept.
PCUNICODE_STRING DriverRegistryPath();
CDriverState* DriverSettings();
CAsioGroup* DriverAsioGroup();
// The table of kAsioGroupMembers member records.
AsioMemberRecord* DriverAsioMembers();

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
