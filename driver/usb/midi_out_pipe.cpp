#include "driver/usb/midi_pipes.h"

#include "driver/usb/usb_device.h"

VOID CMidiOutPipe::Setup(CUsbDevice* owner, CPipeRecord* record, PVOID midiSubdevice) {
  SetupBase(owner, record);
  QueueStart = Queue;
  QueueEnd = Queue + kMidiQueuePackets;
  QueueRead = QueueStart;
  QueueWrite = QueueStart;
  OpenStreams = 0;
  MidiSubdevice = midiSubdevice;
  CableNumber = 0;
  PipeState = MidiPipeStopped;
}

ULONG CMidiOutPipe::QueuedPackets() const {
  const LONG_PTR used = QueueWrite - QueueRead;
  return static_cast<ULONG>(used >= 0 ? used : used + (QueueEnd - QueueStart));
}

ULONG CMidiOutPipe::QueueFreePlaces() const {
  // One place stays empty so that a full ring differs from an empty one.
  return static_cast<ULONG>(QueueEnd - QueueStart) - 1 - QueuedPackets();
}

BOOLEAN CMidiOutPipe::QueuePacket(ULONG packet) {
  if (QueueFreePlaces() == 0) {
    return FALSE;
  }
  *QueueWrite = packet;
  if (++QueueWrite == QueueEnd) {
    QueueWrite = QueueStart;
  }
  return TRUE;
}

VOID CMidiOutPipe::DropQueue() {
  QueueRead = QueueStart;
  QueueWrite = QueueStart;
}

VOID CMidiOutPipe::Pump() {
  const ULONG packetsPerTransfer = TransferBytes() / sizeof(ULONG);
  // A pipe that cannot carry one packet would only send empty transfers;
  // one without its pool (a start that failed) has nothing to send with.
  if (packetsPerTransfer == 0 || !HasPool()) {
    return;
  }
  while (!Halted && !Stopping) {
    if (QueueEmpty()) {
      return;
    }
    // While a transfer is out, wait for a full one's worth.
    if (InFlight() && QueuedPackets() < packetsPerTransfer) {
      return;
    }
    CTransferSlot* slot = AcquireSlot(&Pool);
    if (slot == nullptr) {
      return;
    }
    auto* target = static_cast<ULONG*>(slot->Buffer());
    ULONG moved = 0;
    while (moved < packetsPerTransfer && !QueueEmpty()) {
      target[moved++] = *QueueRead;
      if (++QueueRead == QueueEnd) {
        QueueRead = QueueStart;
      }
    }
    PrepareTransfer(slot, USBD_TRANSFER_DIRECTION_OUT, moved * sizeof(ULONG));
    if (!SubmitUnlocked(slot)) {
      return;
    }
  }
}

NTSTATUS CMidiOutPipe::OnTransferComplete(CTransferSlot* slot) {
  LockPipe();
  const BOOLEAN failed =
      TransferFailed(slot) || slot->UrbAddress()->UrbBulkOrInterruptTransfer.TransferBufferLength == 0;
  if (failed && !Stopping) {
    Halted = 1;
  }
  FinishCompletion(slot);
  UnlockPipe();
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CMidiOutPipe::OnQueueWritten() {
  LockPipe();
  if (PipeState == MidiPipeStopped) {
    DropQueue();
  } else if (!QueueEmpty() && PipeState == MidiPipeRunning && !InFlight()) {
    Pump();
  }
  UnlockPipe();
}

VOID CMidiOutPipe::Recover() {
  StopPipe();
  if (ResetConnectedPipe()) {
    LockPipe();
    DropQueue();
    Halted = 0;
    HaltTicks = 0;
    UnlockPipe();
  }
}
