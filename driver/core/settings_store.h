// Persistence of the driver-wide settings: the "Parameters" key below the
// driver's service key holds "Common" (the buffer level and three flags, the
// unit latencies "As32" ... "As384") and one "Device%d" key per unit
// ("DrvFreq"). The latencies and "DrvFreq" fall back to the machine-wide key
// the settings program uses; a value found only there is copied into the
// service key.
//
// PASSIVE_LEVEL only. Missing keys are created, values that are missing or
// not 4-byte REG_DWORD data take their defaults, and write failures are
// ignored: nothing here fails a device start.
#pragma once

#include <wdm.h>

#include "driver/core/driver_state.h"

// Where one unit's settings live. A null ServiceKey (the driver could not
// keep its registry path) means no registry access: the defaults stay.
struct SETTINGS_LOCATION {
  PCUNICODE_STRING ServiceKey;  // the service key path DriverEntry received
  ULONG ControlIndex;           // the unit's control index, 0..3: "Device%d"
};

// Both records' defaults (their RateTable left zero), the busy count, the
// locks, idle start records and the built-in latency table.
VOID ConstructSettings(CDriverState& state);

// Reads "Common" into Active and Pending (only while no stream runs),
// updates the latency table from "As32" ... "As384" and copies it into
// Pending's RateTable.
VOID LoadSettings(CDriverState& state, const SETTINGS_LOCATION& location);
// Writes the four persisted fields of Pending.
VOID SaveSettings(const CDriverState& state, const SETTINGS_LOCATION& location);

// "BufSize2", "AsioSmaller", "FsSyncOff" and "MidiInLite" of "Common".
VOID ReadCommonValues(PCUNICODE_STRING serviceKey, SETTINGS_RECORD* record);
VOID WriteCommonValues(PCUNICODE_STRING serviceKey, const SETTINGS_RECORD& record);

// Replaces the latency of `rate`'s row by the value `name` and recomputes
// the row's milliseconds and microframes.
VOID LoadRateOffset(CDriverState& state, PCUNICODE_STRING serviceKey, ULONG rate, PCWSTR name);

// The unit's stored "DrvFreq", 0 when there is none.
ULONG ReadDriverRate(const SETTINGS_LOCATION& location);
VOID WriteDriverRate(const SETTINGS_LOCATION& location, ULONG rate);
