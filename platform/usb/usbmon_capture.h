// A pcap writer for URB traffic in the Linux usbmon format (link type 220,
// the 64-byte "mmapped" header), which Wireshark and tshark dissect:
// control setup packets, isochronous packet descriptors and payloads.
//
// Lock: one mutex, a leaf; records are written from the controller's DPC
// and from passive-level control requests alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace sim::usb {

enum class CaptureTransfer : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

struct CaptureIsoPacket {
  int32_t status;  // negative errno, 0 for success
  uint32_t offset;
  uint32_t length;
};

struct CaptureRecord {
  uint64_t id = 0;             // pairs a submission with its completion
  bool completion = false;     // 'C' when set, else 'S'
  CaptureTransfer transfer = CaptureTransfer::Control;
  uint8_t endpoint = 0;        // with the direction bit
  uint8_t device = 0;          // bus address
  uint16_t bus = 0;
  const uint8_t* setup = nullptr;  // 8 bytes, control submissions only
  int32_t status = 0;          // negative errno; -EINPROGRESS for submissions
  uint32_t length = 0;         // requested (submission) or actual (completion) bytes
  std::span<const uint8_t> data;  // the payload carried by this record
  int32_t interval = 0;
  int32_t startFrame = 0;
  uint32_t errorCount = 0;
  std::span<const CaptureIsoPacket> packets;
  uint64_t time = 0;           // interrupt time, 100-ns units
};

class UsbmonCapture {
 public:
  ~UsbmonCapture();
  bool Open(const std::string& path);
  void Close();
  bool active() const;
  void Write(const CaptureRecord& record);

 private:
  mutable std::mutex lock_;
  FILE* file_ = nullptr;
  std::vector<uint8_t> buffer_;  // reused for every record
};

// errno values usbmon reports for URB outcomes.
inline constexpr int32_t kCaptureInProgress = -115;  // EINPROGRESS
inline constexpr int32_t kCaptureStall = -32;        // EPIPE
inline constexpr int32_t kCaptureUnlinked = -2;      // ENOENT
inline constexpr int32_t kCaptureShutdown = -108;    // ESHUTDOWN
inline constexpr int32_t kCaptureProtocol = -71;     // EPROTO
inline constexpr int32_t kCaptureOverflow = -75;     // EOVERFLOW
inline constexpr int32_t kCaptureInvalid = -22;      // EINVAL
inline constexpr int32_t kCapturePartial = -18;      // EXDEV: some iso packets failed

}  // namespace sim::usb
