// The audio streaming interfaces' descriptors: format, endpoint and the
// vendor rate descriptor, and the per-rate tables built from them.
#include "driver/usb/usb_device.h"

namespace {

constexpr UCHAR kCsInterfaceType = 0x24;
constexpr UCHAR kFormatTypeSubtype = 0x02;
constexpr UCHAR kFormatTypeLength = 11;
constexpr UCHAR kVendorRateSubtype = 0xF1;
constexpr UCHAR kVendorRateLength = 6;
constexpr UCHAR kVendorRateKind = 4;

USHORT Le16(const UCHAR* bytes) { return static_cast<USHORT>(bytes[0] | bytes[1] << 8); }

VOID FillRateTables(const ALT_SETTING_RECORD& setting, UCHAR* flags, USHORT* packetSizes) {
  if (!setting.Valid) {
    return;
  }
  for (ULONG n = 0; n < kStreamRates; ++n) {
    if (setting.RateMask & (1u << n)) {
      flags[n + 1] = 1;
      packetSizes[n] = setting.MaxPacketSize;
    }
  }
}

}  // namespace

ALT_SETTING_RECORD CUsbDevice::ParseStreamingAltSetting(UCHAR interfaceNumber, UCHAR alternateSetting) const {
  ALT_SETTING_RECORD record = {};
  record.InterfaceNumber = interfaceNumber;
  record.AlternateSetting = alternateSetting;
  if (ConfigurationDescriptor == nullptr) {
    return record;
  }
  const auto* bytes = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
  const ULONG total = ConfigurationDescriptorLength;
  BOOLEAN inSetting = FALSE;
  BOOLEAN format = FALSE;
  BOOLEAN endpoint = FALSE;
  BOOLEAN rateMask = FALSE;
  // Every descriptor must lie wholly inside what the unit sent; a zero or
  // overlong length ends the walk.
  for (ULONG offset = 0; offset + sizeof(USB_COMMON_DESCRIPTOR) <= total;) {
    const UCHAR* d = bytes + offset;
    const UCHAR length = d[0];
    if (length < sizeof(USB_COMMON_DESCRIPTOR) || offset + length > total) {
      break;
    }
    const UCHAR type = d[1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      if (inSetting) {
        break;  // the next setting begins
      }
      inSetting = d[2] == interfaceNumber && d[3] == alternateSetting;
    } else if (inSetting) {
      if (!format && type == kCsInterfaceType && length == kFormatTypeLength && d[2] == kFormatTypeSubtype) {
        format = TRUE;
        record.FormatType = d[3];
        record.NrChannels = d[4];
        record.BitResolution = d[6];
        record.SamFreqType = d[7];
        record.FirstSamplingFrequency = d[8] | d[9] << 8 | d[10] << 16;
      } else if (!endpoint && type == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
        endpoint = TRUE;
        record.EndpointIn = USB_ENDPOINT_DIRECTION_IN(d[2]) ? 1 : 0;
        record.Isochronous = (d[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS ? 1 : 0;
        record.MaxPacketSize = Le16(d + 4);
      } else if (!rateMask && type == kCsInterfaceType && length == kVendorRateLength &&
                 d[2] == kVendorRateSubtype && d[3] == kVendorRateKind) {
        rateMask = TRUE;
        record.RateMask = Le16(d + 4);
      }
    }
    offset += length;
  }
  if (!format || !endpoint) {
    record.RateMask = 0;
    return record;
  }
  if (record.FirstSamplingFrequency != 0) {
    record.SamplingFrequency = record.FirstSamplingFrequency;
  }
  record.Valid = record.RateMask != 0 ? 1 : 0;
  return record;
}

VOID CUsbDevice::ParseStreamingInterfaces() {
  RtlZeroMemory(&StreamLayout, sizeof(StreamLayout));
  StreamLayout.HasInput = 1;
  StreamLayout.HasOutput = 1;
  ParsedAltSettings[0] = 0;
  ParsedAltSettings[1] = 0;

  ALT_SETTING_RECORD first[2] = {};
  const UCHAR interfaces[2] = {kAudioOutInterface, kAudioInInterface};
  for (ULONG i = 0; i < 2; ++i) {
    for (UCHAR alternate = 1; alternate <= kMaxParsedAltSettings; ++alternate) {
      const ALT_SETTING_RECORD setting = ParseStreamingAltSetting(interfaces[i], alternate);
      if (!setting.Valid) {
        break;
      }
      if (alternate == 1) {
        first[i] = setting;
      }
      ParsedAltSettings[i] = alternate;
    }
  }
  FillRateTables(first[1], StreamLayout.InputRateFlags, StreamLayout.InputPacketSizes);
  FillRateTables(first[0], StreamLayout.OutputRateFlags, StreamLayout.OutputPacketSizes);
  RtlCopyMemory(StreamLayout.RateAltSettings, StreamLayout.OutputRateFlags, sizeof(StreamLayout.RateAltSettings));
}
