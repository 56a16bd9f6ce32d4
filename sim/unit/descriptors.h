// The Tarvik's USB descriptors, built from the few facts that differ between
// units (firmware version, announced rates).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::unit {

// A vendor and product id that belong to no real maker.
inline constexpr uint16_t kVendorId = 0xF7A1;
inline constexpr uint16_t kProductId = 0x0006;

inline constexpr uint8_t kAudioControlInterface = 0;
inline constexpr uint8_t kAudioOutInterface = 1;
inline constexpr uint8_t kAudioInInterface = 2;
inline constexpr uint8_t kMidiInterface = 3;
inline constexpr uint8_t kInterfaceCount = 4;

inline constexpr uint8_t kIsoOutEndpoint = 0x01;
inline constexpr uint8_t kIsoInEndpoint = 0x82;
inline constexpr uint8_t kMidiOutEndpoint = 0x03;
inline constexpr uint8_t kMidiInEndpoint = 0x83;

// Output: master L/R, cue L/R. Input: deck A, deck B, master record, rhythm
// section, microphone, each a stereo pair.
inline constexpr unsigned kOutChannels = 4;
inline constexpr unsigned kInChannels = 10;
inline constexpr unsigned kOutFrameBytes = kOutChannels * sizeof(float);
inline constexpr unsigned kInFrameBytes = kInChannels * sizeof(float);
inline constexpr unsigned kMaxFramesPerPacket = 7;
inline constexpr uint16_t kIsoOutMaxPacket = kMaxFramesPerPacket * kOutFrameBytes;
inline constexpr uint16_t kIsoInMaxPacket = kMaxFramesPerPacket * kInFrameBytes;
inline constexpr uint16_t kMidiMaxPacket = 512;
inline constexpr uint32_t kBusRate = 48'000;

// Bit n announces entry n of 32000, 44100, 48000, 88200, 96000, 176400,
// 192000, 352800, 384000 Hz.
inline constexpr uint16_t kAllRatesMask = 0x01FF;

// Class-specific interface descriptor type and the vendor rate subtype.
inline constexpr uint8_t kCsInterface = 0x24;
inline constexpr uint8_t kFormatTypeSubtype = 0x02;
inline constexpr uint8_t kVendorRateSubtype = 0xF1;

struct DescriptorOptions {
  uint16_t vendorId = kVendorId;
  uint16_t productId = kProductId;
  uint16_t bcdDevice = 0x0100;
  uint16_t outRateMask = kAllRatesMask;
  uint16_t inRateMask = kAllRatesMask;
  bool vendorRateDescriptor = true;
};

inline constexpr uint8_t kProductStringIndex = 1;
inline constexpr uint8_t kSerialStringIndex = 2;

std::vector<uint8_t> BuildDeviceDescriptor(const DescriptorOptions& options);
std::vector<uint8_t> BuildDeviceQualifier();
std::vector<uint8_t> BuildConfigurationDescriptor(const DescriptorOptions& options);
// String descriptor 0 (the language list) or a UTF-16 string.
std::vector<uint8_t> BuildLanguageDescriptor();
std::vector<uint8_t> BuildStringDescriptor(const std::u16string& text);

}  // namespace sim::unit
