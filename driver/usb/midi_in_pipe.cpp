#include "driver/usb/midi_pipes.h"

#include "driver/usb/usb_device.h"

VOID CMidiInPipe::Setup(CUsbDevice* owner, CPipeRecord* record, PVOID midiSubdevice) {
  SetupBase(owner, record);
  InputSide = nullptr;
  OpenStreams = 0;
  MidiSubdevice = midiSubdevice;
}

VOID CMidiInPipe::Pump() {
  // One read pending at most.
  if (Halted || Stopping || InFlight() || !HasPool()) {
    return;
  }
  const ULONG length = TransferBytes();
  if (length < sizeof(ULONG)) {
    return;
  }
  CTransferSlot* slot = AcquireSlot(&Pool);
  if (slot == nullptr) {
    return;
  }
  PrepareTransfer(slot, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, length);
  SubmitUnlocked(slot);
}

NTSTATUS CMidiInPipe::OnTransferComplete(CTransferSlot* slot) {
  LockPipe();
  if (!TransferFailed(slot)) {
    ULONG received = slot->UrbAddress()->UrbBulkOrInterruptTransfer.TransferBufferLength;
    // The bus never reports more than was asked for; a confused one must
    // not make us read past the buffer.
    if (received > slot->BufferSize) {
      received = slot->BufferSize;
    }
    const ULONG packets = received / sizeof(ULONG);
    if (packets != 0 && InputSide != nullptr) {
      InputSide->OnPacketsReceived(static_cast<const ULONG*>(slot->Buffer()), packets);
    }
  } else if (!Stopping) {
    Halted = 1;
  }
  FinishCompletion(slot);
  UnlockPipe();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CMidiInPipe::Recover() {
  StopPipe();
  if (ResetConnectedPipe()) {
    LockPipe();
    Halted = 0;
    HaltTicks = 0;
    Pump();
    UnlockPipe();
  }
}
