#include "platform/portcls/intersection.h"

#include <algorithm>
#include <cstring>

namespace sim::portcls {

namespace {

NTSTATUS CheckOutput(ULONG needed, ULONG outputLength, PULONG resultLength) {
  if (outputLength == 0) {
    *resultLength = needed;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (outputLength < needed) return STATUS_BUFFER_TOO_SMALL;
  *resultLength = needed;
  return STATUS_SUCCESS;
}

const GUID& Pick(const GUID& pin, const GUID& client) {
  return IsEqualGUID(pin, GUID_NULL) ? client : pin;
}

bool IsWaveAudioRange(const KSDATARANGE& range) {
  return range.FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
         IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) &&
         IsEqualGUID(range.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
}

}  // namespace

NTSTATUS DefaultIntersection(const KSDATARANGE& clientRange, const KSDATARANGE& pinRange,
                             ULONG outputLength, PVOID result, PULONG resultLength) {
  if (IsWaveAudioRange(pinRange) && IsWaveAudioRange(clientRange)) {
    auto& client = reinterpret_cast<const KSDATARANGE_AUDIO&>(clientRange);
    auto& pin = reinterpret_cast<const KSDATARANGE_AUDIO&>(pinRange);
    ULONG channels = std::min(client.MaximumChannels, pin.MaximumChannels);
    ULONG bits = std::min(client.MaximumBitsPerSample, pin.MaximumBitsPerSample);
    ULONG rate = std::min(client.MaximumSampleFrequency, pin.MaximumSampleFrequency);
    if (channels == 0 || bits < std::max(client.MinimumBitsPerSample, pin.MinimumBitsPerSample) ||
        rate < std::max(client.MinimumSampleFrequency, pin.MinimumSampleFrequency) || bits % 8)
      return STATUS_NO_MATCH;
    NTSTATUS status = CheckOutput(KSDATAFORMAT_WAVEFORMATEX_SIZE, outputLength, resultLength);
    if (status != STATUS_SUCCESS) return status;
    KSDATAFORMAT_WAVEFORMATEX format = {};
    format.DataFormat = pinRange;
    format.DataFormat.FormatSize = KSDATAFORMAT_WAVEFORMATEX_SIZE;
    format.DataFormat.SubFormat = Pick(pinRange.SubFormat, clientRange.SubFormat);
    WAVEFORMATEX& wave = format.WaveFormatEx;
    wave.wFormatTag = WAVE_FORMAT_PCM;
    wave.nChannels = static_cast<WORD>(channels);
    wave.nSamplesPerSec = rate;
    wave.wBitsPerSample = static_cast<WORD>(bits);
    wave.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    wave.nAvgBytesPerSec = rate * wave.nBlockAlign;
    wave.cbSize = 0;
    format.DataFormat.SampleSize = wave.nBlockAlign;
    std::memcpy(result, &format, KSDATAFORMAT_WAVEFORMATEX_SIZE);
    return STATUS_SUCCESS;
  }
  NTSTATUS status = CheckOutput(sizeof(KSDATAFORMAT), outputLength, resultLength);
  if (status != STATUS_SUCCESS) return status;
  KSDATAFORMAT format = pinRange;
  format.FormatSize = sizeof(KSDATAFORMAT);
  format.MajorFormat = Pick(pinRange.MajorFormat, clientRange.MajorFormat);
  format.SubFormat = Pick(pinRange.SubFormat, clientRange.SubFormat);
  format.Specifier = Pick(pinRange.Specifier, clientRange.Specifier);
  std::memcpy(result, &format, sizeof(format));
  return STATUS_SUCCESS;
}

}  // namespace sim::portcls
