// Keeps a few one-millisecond isochronous requests in flight on one pipe,
// resubmitting each from its completion routine as a driver does, and
// records what every completion brought.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "tests/platform/usb/raw_client.h"

class IsoStream {
 public:
  struct Completion {
    ULONG startFrame;
    NTSTATUS status;
    USBD_STATUS urbStatus;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets;
    std::vector<uint8_t> data;
  };

  IsoStream(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, bool in, size_t depth, ULONG packetBytes)
      : pipe_(pipe), in_(in), packetBytes_(packetBytes) {
    for (size_t i = 0; i < depth; ++i) {
      transfers_.push_back(std::make_unique<RawTransfer>(pdo, GET_ISO_URB_SIZE(8), 8 * packetBytes));
      transfers_.back()->onComplete = [this](RawTransfer& transfer) { Completed(transfer); };
    }
  }

  void Start() {
    running_ = true;
    for (auto& transfer : transfers_) {
      transfer->PrepareIso(pipe_, 8, packetBytes_, in_);
      transfer->Submit();
    }
  }
  void Stop() { running_ = false; }
  bool idle() const {
    for (auto& transfer : transfers_)
      if (!transfer->completed()) return false;
    return true;
  }
  std::vector<Completion> completions() const {
    std::lock_guard guard(lock_);
    return completions_;
  }

 private:
  void Completed(RawTransfer& transfer) {
    const auto& urb = transfer.urb()->UrbIsochronousTransfer;
    Completion completion{urb.StartFrame, transfer.status(), transfer.urb()->UrbHeader.Status,
                          {urb.IsoPacket, urb.IsoPacket + urb.NumberOfPackets},
                          {transfer.buffer(), transfer.buffer() + urb.TransferBufferLength}};
    {
      std::lock_guard guard(lock_);
      completions_.push_back(std::move(completion));
    }
    if (running_ && NT_SUCCESS(transfer.status())) {
      transfer.PrepareIso(pipe_, 8, packetBytes_, in_);
      transfer.Submit();
    }
  }

  USBD_PIPE_HANDLE pipe_;
  bool in_;
  ULONG packetBytes_;
  std::atomic<bool> running_{false};
  std::vector<std::unique_ptr<RawTransfer>> transfers_;
  mutable std::mutex lock_;
  std::vector<Completion> completions_;
};
