#include "sim/unit/descriptors.h"

#include <cstring>
#include <stdexcept>

#include <usbspec.h>

namespace sim::unit {
namespace {

constexpr uint8_t kAudioClass = 0x01;
constexpr uint8_t kAudioControlSubclass = 0x01;
constexpr uint8_t kAudioStreamingSubclass = 0x02;
constexpr uint8_t kMidiStreamingSubclass = 0x03;
constexpr uint8_t kFormatTypeI = 0x01;
constexpr uint8_t kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | 0x04;
constexpr uint8_t kImplicitFeedbackData = 0x20;

class Writer {
 public:
  template <typename T>
  void Put(const T& value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    bytes_.insert(bytes_.end(), bytes, bytes + sizeof(T));
  }
  void Bytes(std::initializer_list<uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes); }
  void Le16(uint16_t value) { Bytes({uint8_t(value), uint8_t(value >> 8)}); }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

void Interface(Writer& out, uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t subclass) {
  out.Put(USB_INTERFACE_DESCRIPTOR{sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE,
                                   number, alternate, endpoints, kAudioClass, subclass, 0, 0});
}

void Endpoint(Writer& out, uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval) {
  out.Put(USB_ENDPOINT_DESCRIPTOR{sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE,
                                  address, attributes, maxPacket, interval});
}

// Alternate 0 without bandwidth, alternate 1 streaming 32-bit float frames
// at 48 kHz through one isochronous endpoint.
void StreamingInterface(Writer& out, const DescriptorOptions& options, uint8_t number,
                        uint8_t channels, uint16_t rateMask, uint8_t endpoint,
                        uint8_t attributes, uint16_t maxPacket) {
  Interface(out, number, 0, 0, kAudioStreamingSubclass);
  Interface(out, number, 1, 1, kAudioStreamingSubclass);
  // General: terminal link 0, delay 1 frame, format tag IEEE float.
  out.Bytes({7, kCsInterface, 0x01, 0, 1});
  out.Le16(0x0003);
  // Format type I: channels, 4-byte subframes, 32 bits, one rate.
  out.Bytes({11, kCsInterface, kFormatTypeSubtype, kFormatTypeI, channels, 4, 32, 1,
             uint8_t(kBusRate), uint8_t(kBusRate >> 8), uint8_t(kBusRate >> 16)});
  if (options.vendorRateDescriptor) {
    out.Bytes({6, kCsInterface, kVendorRateSubtype, 4});
    out.Le16(rateMask);
  }
  Endpoint(out, endpoint, attributes, maxPacket, 1);
}

void MidiInterface(Writer& out, uint8_t alternate) {
  Interface(out, kMidiInterface, alternate, 2, kMidiStreamingSubclass);
  // MIDI streaming header: revision 1.0, total length of this header.
  out.Bytes({7, kCsInterface, 0x01, 0x00, 0x01});
  out.Le16(7);
  Endpoint(out, kMidiOutEndpoint, USB_ENDPOINT_TYPE_BULK, kMidiMaxPacket, 0);
  Endpoint(out, kMidiInEndpoint, USB_ENDPOINT_TYPE_BULK, kMidiMaxPacket, 0);
}

}  // namespace

std::vector<uint8_t> BuildDeviceDescriptor(const DescriptorOptions& options) {
  Writer out;
  out.Put(USB_DEVICE_DESCRIPTOR{sizeof(USB_DEVICE_DESCRIPTOR), USB_DEVICE_DESCRIPTOR_TYPE, 0x0200,
                                0, 0, 0, 64, options.vendorId, options.productId,
                                options.bcdDevice, 0, kProductStringIndex, kSerialStringIndex, 1});
  return std::move(out.bytes());
}

std::vector<uint8_t> BuildDeviceQualifier() {
  Writer out;
  out.Put(USB_DEVICE_QUALIFIER_DESCRIPTOR{sizeof(USB_DEVICE_QUALIFIER_DESCRIPTOR),
                                          USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE, 0x0200, 0, 0, 0,
                                          64, 1, 0});
  return std::move(out.bytes());
}

std::vector<uint8_t> BuildConfigurationDescriptor(const DescriptorOptions& options) {
  Writer out;
  out.Put(USB_CONFIGURATION_DESCRIPTOR{sizeof(USB_CONFIGURATION_DESCRIPTOR),
                                       USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, kInterfaceCount, 1,
                                       0, USB_CONFIG_BUS_POWERED, 250});
  Interface(out, kAudioControlInterface, 0, 0, kAudioControlSubclass);
  // Audio control header: revision 1.0, length 10, two streaming interfaces.
  out.Bytes({10, kCsInterface, 0x01, 0x00, 0x01, 10, 0, 2, kAudioOutInterface, kAudioInInterface});
  StreamingInterface(out, options, kAudioOutInterface, kOutChannels, options.outRateMask,
                     kIsoOutEndpoint, kIsoAsync, kIsoOutMaxPacket);
  StreamingInterface(out, options, kAudioInInterface, kInChannels, options.inRateMask,
                     kIsoInEndpoint, kIsoAsync | kImplicitFeedbackData, kIsoInMaxPacket);
  MidiInterface(out, 0);
  MidiInterface(out, 1);

  auto& bytes = out.bytes();
  const uint16_t total = static_cast<uint16_t>(bytes.size());
  std::memcpy(bytes.data() + offsetof(USB_CONFIGURATION_DESCRIPTOR, wTotalLength), &total,
              sizeof(total));
  return std::move(bytes);
}

std::vector<uint8_t> BuildLanguageDescriptor() {
  return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};  // US English
}

std::vector<uint8_t> BuildStringDescriptor(const std::u16string& text) {
  const size_t length = 2 + 2 * text.size();
  if (length > 255) throw std::invalid_argument("USB string descriptor longer than 255 bytes");
  std::vector<uint8_t> bytes{uint8_t(length), USB_STRING_DESCRIPTOR_TYPE};
  for (char16_t c : text) {
    bytes.push_back(uint8_t(c));
    bytes.push_back(uint8_t(c >> 8));
  }
  return bytes;
}

}  // namespace sim::unit
