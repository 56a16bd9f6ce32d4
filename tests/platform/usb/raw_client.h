// A raw USB function driver for the bus tests (no Movakern): it attaches to
// the unit's physical device object, passes PnP and power down, and sends
// URBs the way a client driver does: single requests with
// IoBuildDeviceIoControlRequest and an event, streaming ones with its own
// reusable IRPs from IoAllocateIrp and a completion routine.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include <usb.h>
#include <usbbusif.h>
#include <usbdlib.h>
#include <usbioctl.h>
#include <wdm.h>

struct RawClientState {
  LONG surpriseRemovals;
  LONG removals;
};
extern RawClientState g_rawClient;

NTSTATUS RawClientEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Synchronous requests to the bus, at PASSIVE_LEVEL.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT lower, PURB urb);
NTSTATUS SendInternal(PDEVICE_OBJECT lower, ULONG code, PVOID argument1, PVOID argument2);
NTSTATUS QueryUsbdi(PDEVICE_OBJECT lower, USB_BUS_INTERFACE_USBDI_V1* bus);

// A request the client allocates once and submits again and again.
class RawTransfer {
 public:
  RawTransfer(PDEVICE_OBJECT lower, size_t urbBytes, size_t bufferBytes);
  ~RawTransfer();
  RawTransfer(const RawTransfer&) = delete;
  RawTransfer& operator=(const RawTransfer&) = delete;

  PURB urb() { return reinterpret_cast<PURB>(urb_.data()); }
  uint8_t* buffer() { return buffer_.data(); }
  PIRP irp() { return irp_; }

  // An isochronous request of `packets` packets of `packetBytes` each
  // (offsets k × packetBytes), ASAP; `in` adds the IN direction.
  void PrepareIso(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetBytes, bool in);
  void PrepareBulk(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags);
  // Sends the request; returns what IoCallDriver returned.
  NTSTATUS Submit();
  bool completed() const { return completed_.load(); }
  NTSTATUS status() const { return status_; }

  // Runs in the completion routine at DISPATCH_LEVEL.
  std::function<void(RawTransfer&)> onComplete;

 private:
  static IO_COMPLETION_ROUTINE Completed;

  PDEVICE_OBJECT lower_;
  PIRP irp_;
  std::vector<uint8_t> urb_;
  std::vector<uint8_t> buffer_;
  std::atomic<bool> completed_{false};
  NTSTATUS status_ = STATUS_PENDING;
};
