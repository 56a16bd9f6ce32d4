// The driver's settings record, exchanged with user mode by the settings
// requests (which append one 32-bit result word), and its device latency
// table. Byte layout is fixed: every offset is checked below.
#pragma once

#include <cstddef>

#include "nt/basetypes.h"

// One row of the device latency table: the unit's own latency at a rate.
struct DEVICE_LATENCY_ROW {
  LONG Rate;          // Hz; 0 ends the table
  LONG Frames;        // C1: latency in frames
  LONG MinusKHz;      // C2: minus the rate in kHz
  LONG Milliseconds;  // C3
  LONG Reserved4;     // C4, 0
  LONG Microframes;   // C5: eighths of a millisecond
  LONG Reserved6;     // C6, 0
};

inline constexpr ULONG kDeviceLatencyRows = 10;

struct SETTINGS_OPTION {
  ULONG Enable;
  ULONG Value;
};

struct SETTINGS_RECORD {
  DEVICE_LATENCY_ROW RateTable[kDeviceLatencyRows];
  ULONG StreamOption;
  ULONG AsioSmaller;
  ULONG BufSize2;             // buffer level 0..9
  ULONG AsioSampleContainer;  // non-zero: 4-byte ASIO samples, else 2
  ULONG FsSyncOff;
  SETTINGS_OPTION OptionA;
  SETTINGS_OPTION OptionB;
  ULONG MidiInLite;
  ULONG DeviceOptionA;
  ULONG DeviceOptionB;
  SETTINGS_OPTION MidiInOverride;
};

// Everything up to and including MidiInLite: what a commit copies.
inline constexpr ULONG kSettingsCommitBytes = 320;

static_assert(sizeof(DEVICE_LATENCY_ROW) == 28);
static_assert(offsetof(SETTINGS_RECORD, StreamOption) == 280);
static_assert(offsetof(SETTINGS_RECORD, AsioSmaller) == 284);
static_assert(offsetof(SETTINGS_RECORD, BufSize2) == 288);
static_assert(offsetof(SETTINGS_RECORD, AsioSampleContainer) == 292);
static_assert(offsetof(SETTINGS_RECORD, FsSyncOff) == 296);
static_assert(offsetof(SETTINGS_RECORD, OptionA) == 300);
static_assert(offsetof(SETTINGS_RECORD, OptionB) == 308);
static_assert(offsetof(SETTINGS_RECORD, MidiInLite) == 316);
static_assert(offsetof(SETTINGS_RECORD, DeviceOptionA) == 320);
static_assert(offsetof(SETTINGS_RECORD, DeviceOptionB) == 324);
static_assert(offsetof(SETTINGS_RECORD, MidiInOverride) == 328);
static_assert(sizeof(SETTINGS_RECORD) == 336);
static_assert(offsetof(SETTINGS_RECORD, MidiInLite) + sizeof(ULONG) == kSettingsCommitBytes);
