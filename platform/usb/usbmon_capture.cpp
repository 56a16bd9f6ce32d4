#include "platform/usb/usbmon_capture.h"

#include <cstring>

#include "platform/sim/machine.h"

namespace sim::usb {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 0x00200000;

#pragma pack(push, 1)
struct PcapFileHeader {
  uint32_t magic;
  uint16_t versionMajor;
  uint16_t versionMinor;
  int32_t thisZone;
  uint32_t sigFigs;
  uint32_t snapLength;
  uint32_t linkType;
};

struct PcapRecordHeader {
  uint32_t seconds;
  uint32_t microseconds;
  uint32_t capturedLength;
  uint32_t originalLength;
};

// The usbmon binary header as the kernel's mmap interface lays it out.
struct UsbmonHeader {
  uint64_t id;
  uint8_t type;
  uint8_t transferType;
  uint8_t endpoint;
  uint8_t device;
  uint16_t bus;
  char setupFlag;  // 0: the setup bytes are present
  char dataFlag;   // 0: data follows
  int64_t seconds;
  int32_t microseconds;
  int32_t status;
  uint32_t length;
  uint32_t capturedLength;
  union {
    uint8_t setup[8];
    struct {
      int32_t errorCount;
      int32_t descriptors;
    } iso;
  } s;
  int32_t interval;
  int32_t startFrame;
  uint32_t transferFlags;
  uint32_t descriptorCount;
};

struct UsbmonIsoDescriptor {
  int32_t status;
  uint32_t offset;
  uint32_t length;
  uint32_t padding;
};
#pragma pack(pop)

static_assert(sizeof(UsbmonHeader) == 64);
static_assert(sizeof(UsbmonIsoDescriptor) == 16);

template <typename T>
void Append(std::vector<uint8_t>& out, const T& value) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

}  // namespace

UsbmonCapture::~UsbmonCapture() { Close(); }

bool UsbmonCapture::Open(const std::string& path) {
  std::lock_guard guard(lock_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return false;
  const PcapFileHeader header{kPcapMagic, 2, 4, 0, 0, kSnapLength, kLinkTypeUsbLinuxMmapped};
  std::fwrite(&header, sizeof header, 1, file_);
  return true;
}

void UsbmonCapture::Close() {
  std::lock_guard guard(lock_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

bool UsbmonCapture::active() const {
  std::lock_guard guard(lock_);
  return file_ != nullptr;
}

void UsbmonCapture::Write(const CaptureRecord& record) {
  std::lock_guard guard(lock_);
  if (file_ == nullptr) return;

  const uint64_t microseconds = record.time / kMicrosecond;
  UsbmonHeader header{};
  header.id = record.id;
  header.type = record.completion ? 'C' : 'S';
  header.transferType = static_cast<uint8_t>(record.transfer);
  header.endpoint = record.endpoint;
  header.device = record.device;
  header.bus = record.bus;
  header.setupFlag = record.setup != nullptr ? 0 : '-';
  const bool in = (record.endpoint & 0x80) != 0;
  header.dataFlag = !record.data.empty() ? 0 : (in ? '<' : '>');
  header.seconds = static_cast<int64_t>(microseconds / 1'000'000);
  header.microseconds = static_cast<int32_t>(microseconds % 1'000'000);
  header.status = record.status;
  header.length = record.length;
  header.capturedLength = static_cast<uint32_t>(record.data.size());
  if (record.setup != nullptr) {
    std::memcpy(header.s.setup, record.setup, 8);
  } else if (record.transfer == CaptureTransfer::Isochronous) {
    header.s.iso.errorCount = static_cast<int32_t>(record.errorCount);
    header.s.iso.descriptors = static_cast<int32_t>(record.packets.size());
  }
  header.interval = record.interval;
  header.startFrame = record.startFrame;
  header.descriptorCount = static_cast<uint32_t>(record.packets.size());

  buffer_.clear();
  Append(buffer_, header);
  for (const auto& packet : record.packets)
    Append(buffer_, UsbmonIsoDescriptor{packet.status, packet.offset, packet.length, 0});
  buffer_.insert(buffer_.end(), record.data.begin(), record.data.end());

  const auto length = static_cast<uint32_t>(buffer_.size());
  const PcapRecordHeader pcap{static_cast<uint32_t>(header.seconds),
                              static_cast<uint32_t>(header.microseconds), length, length};
  std::fwrite(&pcap, sizeof pcap, 1, file_);
  std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
}

}  // namespace sim::usb
