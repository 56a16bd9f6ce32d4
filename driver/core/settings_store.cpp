#include "driver/core/settings_store.h"

#include "driver/core/registry_key.h"

namespace {

constexpr ULONG kDefaultBufferLevel = 5;
constexpr ULONG kHighestBufferLevel = 9;

DECLARE_CONST_UNICODE_STRING(kParametersKeyName, TEXT("Parameters"));
DECLARE_CONST_UNICODE_STRING(kCommonKeyName, TEXT("Common"));
const PCWSTR kDriverRateValueName = TEXT("DrvFreq");

// The four persisted fields of "Common". They are read as the low 16 bits
// of the stored DWORD; flags are written back as 0 or 1.
struct COMMON_VALUE {
  PCWSTR Name;
  ULONG SETTINGS_RECORD::*Field;
  ULONG Default;
  BOOLEAN StoredAsFlag;
};

const COMMON_VALUE kCommonValues[] = {
    {TEXT("BufSize2"), &SETTINGS_RECORD::BufSize2, kDefaultBufferLevel, FALSE},
    {TEXT("AsioSmaller"), &SETTINGS_RECORD::AsioSmaller, 0, TRUE},
    {TEXT("FsSyncOff"), &SETTINGS_RECORD::FsSyncOff, 0, FALSE},
    {TEXT("MidiInLite"), &SETTINGS_RECORD::MidiInLite, 0, FALSE},
};

struct RATE_OFFSET_VALUE {
  ULONG Rate;
  PCWSTR Name;
};

const RATE_OFFSET_VALUE kRateOffsetValues[] = {
    {32000, TEXT("As32")},   {44100, TEXT("As44")},   {48000, TEXT("As48")},
    {88200, TEXT("As88")},   {96000, TEXT("As96")},   {176400, TEXT("As176")},
    {192000, TEXT("As192")}, {352800, TEXT("As352")}, {384000, TEXT("As384")},
};

BOOLEAN HasServiceKey(PCUNICODE_STRING serviceKey) {
  return serviceKey != nullptr && serviceKey->Buffer != nullptr && serviceKey->Length != 0;
}

// "Parameters" \ `subkeyName` below the service key, both created when
// missing. The service key itself must exist.
NTSTATUS OpenParametersSubkey(PCUNICODE_STRING serviceKey, PCUNICODE_STRING subkeyName,
                              CRegistryKey* subkey) {
  if (!HasServiceKey(serviceKey)) return STATUS_INVALID_PARAMETER;
  CRegistryKey service;
  NTSTATUS status = service.Open(serviceKey);
  if (!NT_SUCCESS(status)) return status;
  CRegistryKey parameters;
  status = parameters.OpenOrCreate(service, &kParametersKeyName);
  if (!NT_SUCCESS(status)) return status;
  return subkey->OpenOrCreate(parameters, subkeyName);
}

NTSTATUS OpenDeviceKey(const SETTINGS_LOCATION& location, CRegistryKey* device) {
  WCHAR name[24];
  NTSTATUS status = RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), TEXT("Device%d"),
                                        static_cast<int>(location.ControlIndex));
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING deviceKeyName;
  RtlInitUnicodeString(&deviceKeyName, name);
  return OpenParametersSubkey(location.ServiceKey, &deviceKeyName, device);
}

// The machine-wide key of the settings program; opened, never created.
NTSTATUS OpenFallbackKey(CRegistryKey* fallback) {
  WCHAR path[128];
  NTSTATUS status = RtlStringCchPrintfW(path, RTL_NUMBER_OF(path), TEXT("%s\\%s\\%s\\%s"),
                                        TEXT("\\Registry\\Machine\\SOFTWARE\\Classes"),
                                        TEXT("CLSID"),
                                        TEXT("{7E2F4A91-3B6D-4a5e-9C07-D4B1E8F2A063}"),
                                        TEXT("Movident"));
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING fallbackPath;
  RtlInitUnicodeString(&fallbackPath, path);
  return fallback->Open(&fallbackPath);
}

// Reads `name` from `primary`, or from the fallback key when `primary` has
// no readable value (or, with `zeroIsEmpty`, holds 0). A fallback value is
// copied into `primary` only when `primary` lacks the value or holds that
// empty 0, so a stored value that merely could not be read this time (a
// failed buffer allocation, a value of another type) is never overwritten.
BOOLEAN QueryWithFallback(const CRegistryKey& primary, PCWSTR name, BOOLEAN zeroIsEmpty,
                          ULONG* value) {
  REGISTRY_READ read = primary.QueryDword(name, value);
  if (read == RegistryValueFound && !(zeroIsEmpty && *value == 0)) return TRUE;
  BOOLEAN replaceable = primary.IsOpen() && read != RegistryValueUnreadable;
  CRegistryKey fallback;
  ULONG fallbackValue = 0;
  if (!NT_SUCCESS(OpenFallbackKey(&fallback)) ||
      fallback.QueryDword(name, &fallbackValue) != RegistryValueFound) {
    return read == RegistryValueFound;
  }
  if (replaceable) primary.SetDword(name, fallbackValue);
  *value = fallbackValue;
  return TRUE;
}

DEVICE_LATENCY_ROW* FindLatencyRow(CDriverState& state, ULONG rate) {
  for (DEVICE_LATENCY_ROW& row : state.LatencyTable) {
    if (row.Rate == 0) break;
    if (static_cast<ULONG>(row.Rate) == rate) return &row;
  }
  return nullptr;
}

// 64-bit products: a large stored latency must not wrap the recomputation.
VOID StoreLatency(DEVICE_LATENCY_ROW* row, ULONG frames) {
  const ULONGLONG rate = static_cast<ULONG>(row->Rate);
  row->Frames = static_cast<LONG>(frames);
  row->Milliseconds = static_cast<LONG>(ULONGLONG(frames) * 1000 / rate);
  row->Microframes = static_cast<LONG>(ULONGLONG(frames) * 8000 / rate);
}

}  // namespace

VOID ConstructSettings(CDriverState& state) { state.Initialize(); }

VOID ReadCommonValues(PCUNICODE_STRING serviceKey, SETTINGS_RECORD* record) {
  CRegistryKey common;
  if (!NT_SUCCESS(OpenParametersSubkey(serviceKey, &kCommonKeyName, &common))) return;
  for (const COMMON_VALUE& entry : kCommonValues) {
    ULONG stored = 0;
    record->*entry.Field = common.QueryDword(entry.Name, &stored) == RegistryValueFound
                               ? (stored & 0xFFFF)
                               : entry.Default;
  }
  if (record->BufSize2 > kHighestBufferLevel) record->BufSize2 = kHighestBufferLevel;
}

VOID WriteCommonValues(PCUNICODE_STRING serviceKey, const SETTINGS_RECORD& record) {
  CRegistryKey common;
  if (!NT_SUCCESS(OpenParametersSubkey(serviceKey, &kCommonKeyName, &common))) return;
  for (const COMMON_VALUE& entry : kCommonValues) {
    const ULONG field = record.*entry.Field;
    common.SetDword(entry.Name, entry.StoredAsFlag ? (field != 0 ? 1 : 0) : (field & 0xFFFF));
  }
}

VOID LoadRateOffset(CDriverState& state, PCUNICODE_STRING serviceKey, ULONG rate, PCWSTR name) {
  CRegistryKey common;
  if (!NT_SUCCESS(OpenParametersSubkey(serviceKey, &kCommonKeyName, &common))) return;
  DEVICE_LATENCY_ROW* row = FindLatencyRow(state, rate);
  if (row == nullptr) return;
  ULONG frames = 0;
  if (QueryWithFallback(common, name, FALSE, &frames)) StoreLatency(row, frames);
}

VOID LoadSettings(CDriverState& state, const SETTINGS_LOCATION& location) {
  SETTINGS_RECORD loaded;
  RtlZeroMemory(&loaded, sizeof(loaded));
  SetDefaultSettings(&loaded);
  ReadCommonValues(location.ServiceKey, &loaded);

  // Copied under the lock so a stream that starts meanwhile cannot see
  // Active change under it.
  KIRQL irql;
  KeAcquireSpinLock(&state.SettingsLock, &irql);
  const BOOLEAN idle = state.ActiveStreamCount <= 0;
  if (idle) {
    state.Active = loaded;
    state.Pending = loaded;
  }
  KeReleaseSpinLock(&state.SettingsLock, irql);

  for (const RATE_OFFSET_VALUE& entry : kRateOffsetValues)
    LoadRateOffset(state, location.ServiceKey, entry.Rate, entry.Name);

  RtlCopyMemory(state.Pending.RateTable, state.LatencyTable, sizeof(state.Pending.RateTable));
  // A freshly loaded Active carries the same table rather than zeros.
  if (idle)
    RtlCopyMemory(state.Active.RateTable, state.LatencyTable, sizeof(state.Active.RateTable));
}

VOID SaveSettings(const CDriverState& state, const SETTINGS_LOCATION& location) {
  const SETTINGS_RECORD pending = state.Pending;
  WriteCommonValues(location.ServiceKey, pending);
}

ULONG ReadDriverRate(const SETTINGS_LOCATION& location) {
  if (!HasServiceKey(location.ServiceKey)) return 0;
  CRegistryKey device;
  OpenDeviceKey(location, &device);  // without it only the fallback is asked
  ULONG rate = 0;
  return QueryWithFallback(device, kDriverRateValueName, TRUE, &rate) ? rate : 0;
}

VOID WriteDriverRate(const SETTINGS_LOCATION& location, ULONG rate) {
  CRegistryKey device;
  if (NT_SUCCESS(OpenDeviceKey(location, &device))) device.SetDword(kDriverRateValueName, rate);
}
