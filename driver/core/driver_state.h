// The driver-wide state shared by all units: the active and pending settings
// records with the busy count, and the per-unit start records. One instance
// per driver load, reached by the engine through DriverStateService.
//
// Locks: SettingsLock guards ActiveStreamCount and WaiterEvent;
// StartRecordLock guards StartRecords. Both are taken inside the stream
// configuration lock and never together; any IRQL up to DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

#include "common/settings_record.h"

inline constexpr ULONG kStartRecordDevices = 8;  // IN records 0..7, OUT records 8..15
inline constexpr LONG kStartStateIdle = -1;

struct DEVICE_START_RECORD {
  LONG Active;
  LONG StartState;  // -1 when idle
  ULONG BaseFrame;
  ULONG LastFrame;
};

class CDriverState {
 public:
  SETTINGS_RECORD Active;
  SETTINGS_RECORD Pending;
  LONG ActiveStreamCount;
  KSPIN_LOCK SettingsLock;
  PKEVENT WaiterEvent;
  DEVICE_START_RECORD StartRecords[2 * kStartRecordDevices];
  KSPIN_LOCK StartRecordLock;
  // The driver-wide device latency table the streaming code reads; the
  // records' RateTable is user mode's copy of it.
  DEVICE_LATENCY_ROW LatencyTable[kDeviceLatencyRows];

  // Defaults for both records (fields after RateTable), the busy count, the
  // locks, idle start records and the built-in latency table.
  VOID Initialize();

  DEVICE_START_RECORD* InRecord(ULONG device) { return &StartRecords[device]; }
  DEVICE_START_RECORD* OutRecord(ULONG device) { return &StartRecords[kStartRecordDevices + device]; }
};

// The latency table as the driver loads it.
extern const DEVICE_LATENCY_ROW g_DefaultLatencyTable[kDeviceLatencyRows];

// Defaults of the record fields after RateTable.
VOID SetDefaultSettings(SETTINGS_RECORD* record);

inline VOID ClearStartRecord(DEVICE_START_RECORD* record) {
  record->Active = 0;
  record->StartState = kStartStateIdle;
  record->BaseFrame = 0;
  record->LastFrame = 0;
}

// Bit 0: a change that needs the streams restarted; bit 1: one that needs
// the unit switched off and on.
inline constexpr ULONG kSettingsChangeRestart = 0x1;
inline constexpr ULONG kSettingsChangePowerCycle = 0x2;
ULONG SettingsChangeFlags(const SETTINGS_RECORD& active, const SETTINGS_RECORD& pending);
