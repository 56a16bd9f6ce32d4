#include "driver/core/driver_state.h"

const DEVICE_LATENCY_ROW g_DefaultLatencyTable[kDeviceLatencyRows] = {
    {32000, 90, -32, 3, 0, 23, 0},   {44100, 94, -44, 2, 0, 17, 0},
    {48000, 97, -48, 2, 0, 16, 0},   {88200, 110, -88, 1, 0, 10, 0},
    {96000, 112, -96, 1, 0, 9, 0},   {176400, 139, -176, 1, 0, 6, 0},
    {192000, 145, -192, 1, 0, 6, 0}, {352800, 278, -352, 1, 0, 6, 0},
    {384000, 290, -384, 1, 0, 6, 0}, {0, 0, 0, 0, 0, 0, 0},
};

VOID SetDefaultSettings(SETTINGS_RECORD* record) {
  record->StreamOption = 0;
  record->AsioSmaller = 0;
  record->BufSize2 = 5;
  record->AsioSampleContainer = 1;
  record->FsSyncOff = 0;
  record->OptionA = {1, 0};
  record->OptionB = {1, 0};
  record->MidiInLite = 0;
  record->DeviceOptionA = 1;
  record->DeviceOptionB = 0;
  record->MidiInOverride = {0, 0};
}

VOID CDriverState::Initialize() {
  RtlZeroMemory(&Active, sizeof(Active));
  RtlZeroMemory(&Pending, sizeof(Pending));
  SetDefaultSettings(&Active);
  SetDefaultSettings(&Pending);
  ActiveStreamCount = 0;
  KeInitializeSpinLock(&SettingsLock);
  WaiterEvent = nullptr;
  for (DEVICE_START_RECORD& record : StartRecords) ClearStartRecord(&record);
  KeInitializeSpinLock(&StartRecordLock);
  RtlCopyMemory(LatencyTable, g_DefaultLatencyTable, sizeof(LatencyTable));
}

namespace {

bool OptionsDiffer(const SETTINGS_OPTION& a, const SETTINGS_OPTION& b) {
  const bool enabledA = a.Enable != 0;
  const bool enabledB = b.Enable != 0;
  if (enabledA != enabledB) return true;
  return enabledA && a.Value != b.Value;
}

}  // namespace

ULONG SettingsChangeFlags(const SETTINGS_RECORD& active, const SETTINGS_RECORD& pending) {
  ULONG flags = 0;
  if (OptionsDiffer(active.OptionA, pending.OptionA) ||
      OptionsDiffer(active.OptionB, pending.OptionB) || active.BufSize2 != pending.BufSize2 ||
      (active.StreamOption != 0) != (pending.StreamOption != 0) ||
      (active.AsioSmaller != 0) != (pending.AsioSmaller != 0) ||
      active.FsSyncOff != pending.FsSyncOff) {
    flags |= kSettingsChangeRestart;
  }
  if (active.DeviceOptionA != pending.DeviceOptionA ||
      active.DeviceOptionB != pending.DeviceOptionB) {
    flags |= kSettingsChangePowerCycle;
  }
  return flags;
}
