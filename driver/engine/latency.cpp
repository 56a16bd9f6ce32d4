#include "driver/engine/latency.h"

#include "driver/engine/filter_bank.h"

namespace {

constexpr ULONG kRequestMilliseconds[kBufferLevels] = {1, 1, 1, 1, 2, 3, 3, 4, 5, 10};
constexpr ULONG kRequestsInFlight[kBufferLevels] = {2, 3, 3, 4, 4, 4, 4, 4, 5, 7};
constexpr ULONG kExtraAllowance[kBufferLevels] = {0, 1, 1, 1, 1, 0, 0, 0, 0, 0};

// A stored level can come from user mode unchecked; never index past 9.
ULONG Level(ULONG bufferLevel) {
  return bufferLevel < kBufferLevels ? bufferLevel : kBufferLevels - 1;
}

}  // namespace

ULONG RequestMilliseconds(ULONG bufferLevel) { return kRequestMilliseconds[Level(bufferLevel)]; }
ULONG RequestsInFlight(ULONG bufferLevel) { return kRequestsInFlight[Level(bufferLevel)]; }
ULONG AsioExtraAllowance(ULONG bufferLevel) { return kExtraAllowance[Level(bufferLevel)]; }

ULONG DeviceLatencyFrames(const DEVICE_LATENCY_ROW* table, ULONG rate) {
  for (ULONG row = 0; row < kDeviceLatencyRows && table[row].Rate != 0; ++row) {
    if (static_cast<ULONG>(table[row].Rate) == rate) return static_cast<ULONG>(table[row].Frames);
  }
  return 0;
}

ULONG InputDeviceLatency(const DEVICE_LATENCY_ROW* table, ULONG rate) {
  const ULONG c1 = DeviceLatencyFrames(table, rate);
  return c1 / 2 + c1 % 2;
}

ULONG OutputLatency(const DEVICE_LATENCY_ROW* table, ULONG rate, ULONG bufferLevel) {
  const ULONGLONG inFlight =
      ULONGLONG{rate} * RequestMilliseconds(bufferLevel) * RequestsInFlight(bufferLevel);
  return static_cast<ULONG>((inFlight + 500) / 1000) + DeviceLatencyFrames(table, rate) / 2;
}

BOOLEAN AsioRingOffsets(ULONG bufferFrames, ULONG rate, ULONG bufferLevel, ULONG* lead,
                        ULONG* offset) {
  if (bufferFrames == 0 || rate == 0) return FALSE;
  const LONGLONG a = bufferFrames;
  const LONGLONG c = LONGLONG{rate} * RequestMilliseconds(bufferLevel) / 1000;
  // g = c - 1 divides below; below 2000 Hz a request holds too few frames.
  if (c < 2) return FALSE;
  const LONGLONG d = a + c;
  const LONGLONG e = c + 1;
  const LONGLONG f = LONGLONG{rate} * 11 / 44100;
  const LONGLONG g = c - 1;
  const LONGLONG x3 = AsioExtraAllowance(bufferLevel) == 1 ? f : 0;

  LONGLONG outLead;
  LONGLONG outOffset;
  if (a < c) {
    outLead = a * (d / a) - c + 1;
    outOffset = 2 * c + x3 - a * (e / a) + 2;
  } else {
    const double quotient = static_cast<double>(a) / static_cast<double>(g);
    const double x = (quotient - static_cast<double>(a / g)) * static_cast<double>(e) + 1.0 +
                     static_cast<double>(a - c + 1);
    const LONGLONG xTruncated = static_cast<LONGLONG>(static_cast<ULONG>(x));
    if (c < a) {
      const LONGLONG h = xTruncated;
      LONGLONG l = 0;
      outLead = h;
      if (h >= a) {
        l = h - a + 1;
        outLead = a - l;
      }
      outOffset = e * ((d - 2) / g) + x3 + c + l - a + 1;
    } else {
      const LONGLONG h2 = a * (d / a) - c + 1;
      outLead = xTruncated < h2 ? h2 : xTruncated;
      const LONGLONG l = 2 * c - a * (e / a) + 2;
      const LONGLONG m = c + e * ((d - 2) / g) - a + 1;
      outOffset = x3 + (m > l ? m : l);
      if (outLead >= a) {
        outOffset += outLead - a + 1;
        outLead = 2 * a - outLead - 1;
      }
    }
  }
  *lead = static_cast<ULONG>(outLead);
  *offset = static_cast<ULONG>(outOffset);
  return TRUE;
}

VOID AsioLatencies(const DEVICE_LATENCY_ROW* table, ULONG groupRate, ULONG busRate,
                   ULONG engineRate, ULONG bufferLevel, ULONG* inputLatency,
                   ULONG* outputLatency) {
  const ULONGLONG c1 = DeviceLatencyFrames(table, busRate);
  const ULONGLONG ci = c1 / 2 + c1 % 2;
  const ULONGLONG co = c1 / 2;
  const ULONGLONG d = KernelDelay(busRate, engineRate);
  const ULONGLONG r = groupRate / 100;
  const ULONGLONG q = busRate / 100;
  *inputLatency = 0;
  if (q != 0) {
    const ULONGLONG x = ((ci + d) * r) / q;
    const ULONGLONG whole = ((co + ci + d) * r * 100) / q;
    const ULONGLONG parts = ((co * r) / q + x) * 100;
    const LONGLONG y = static_cast<LONGLONG>(whole) - static_cast<LONGLONG>(parts);
    *inputLatency = static_cast<ULONG>(static_cast<LONGLONG>(x) + y / 100 + (y % 100 > 0 ? 1 : 0));
  }
  const ULONGLONG dOut = KernelDelay(engineRate, busRate);
  const ULONGLONG e = groupRate;
  const ULONGLONG device = busRate == 0 ? 0 : (e * co) / busRate;
  const ULONGLONG inFlight =
      (ULONGLONG{RequestsInFlight(bufferLevel)} * RequestMilliseconds(bufferLevel) * e + 500) / 1000;
  *outputLatency = static_cast<ULONG>(dOut + device + inFlight);
}

VOID InitializeTimerResolutionUsers(TIMER_RESOLUTION_USERS* users) {
  users->Count = 0;
  KeInitializeSpinLock(&users->Lock);
}

VOID HoldTimerResolution(TIMER_RESOLUTION_USERS* users) {
  KIRQL irql;
  KeAcquireSpinLock(&users->Lock, &irql);
  const bool first = users->Count++ == 0;
  KeReleaseSpinLock(&users->Lock, irql);
  if (first) ExSetTimerResolution(10000, TRUE);
}

VOID ReleaseTimerResolution(TIMER_RESOLUTION_USERS* users) {
  KIRQL irql;
  KeAcquireSpinLock(&users->Lock, &irql);
  const bool last = --users->Count <= 0;
  if (last) users->Count = 0;  // a stray release must not swallow the next hold
  KeReleaseSpinLock(&users->Lock, irql);
  if (last) ExSetTimerResolution(0, FALSE);
}
