#include "driver/usb/midi_pipes.h"

#include <usbdlib.h>

#include "driver/usb/usb_device.h"

CMidiPipe::CMidiPipe()
    : Halted(0), Stopping(0), Record(nullptr), Owner(nullptr), HaltTicks(0), LockIrql(PASSIVE_LEVEL) {
  KeInitializeEvent(&StopEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&PipeLock);
}

VOID CMidiPipe::SetupBase(CUsbDevice* owner, CPipeRecord* record) {
  Owner = owner;
  Record = record;
  Halted = 0;
  Stopping = 0;
  HaltTicks = 0;
  KeInitializeEvent(&StopEvent, NotificationEvent, FALSE);
}

VOID CMidiPipe::LockPipe() {
  KIRQL irql;
  KeAcquireSpinLock(&PipeLock, &irql);
  LockIrql = irql;
}

VOID CMidiPipe::UnlockPipe() { KeReleaseSpinLock(&PipeLock, LockIrql); }

BOOLEAN CMidiPipe::CreatePool() {
  if (Owner == nullptr || Owner->LowerDeviceObject == nullptr) {
    return FALSE;
  }
  return CreateBulkPool(&Pool, this, Owner->LowerDeviceObject, kMidiTransferBytes);
}

VOID CMidiPipe::FreePool() { FreeBulkPool(&Pool); }

ULONG CMidiPipe::TransferBytes() const {
  ULONG bytes = Record != nullptr ? Record->MaximumPacketSize : 0;
  const ULONG buffer = Pool.Slots[0].BufferSize;
  return bytes < buffer ? bytes : buffer;
}

VOID CMidiPipe::PrepareTransfer(CTransferSlot* slot, ULONG flags, ULONG length) {
  slot->PrepareRequest();
  PURB urb = slot->UrbAddress();
  RtlZeroMemory(urb, kBulkUrbBytes);
  UsbBuildInterruptOrBulkTransferRequest(urb, static_cast<USHORT>(kBulkUrbBytes), Record->PipeHandle,
                                         slot->Buffer(), nullptr, length, flags, nullptr);
}

BOOLEAN CMidiPipe::SubmitUnlocked(CTransferSlot* slot) {
  UnlockPipe();
  const BOOLEAN submitted = SubmitSlot(Record, slot);
  LockPipe();
  if (!submitted) {
    Halted = 1;
    ReleaseSlot(&Pool, slot);
    if (Stopping && !InFlight()) {
      KeSetEvent(&StopEvent, IO_NO_INCREMENT, FALSE);
    }
  }
  return submitted;
}

BOOLEAN CMidiPipe::TransferFailed(CTransferSlot* slot) {
  PURB urb = slot->UrbAddress();
  return !NT_SUCCESS(slot->Request->IoStatus.Status) || urb->UrbHeader.Status != USBD_STATUS_SUCCESS ||
         urb->UrbBulkOrInterruptTransfer.TransferBuffer == nullptr;
}

VOID CMidiPipe::FinishCompletion(CTransferSlot* slot) {
  ReleaseSlot(&Pool, slot);
  if (Stopping) {
    if (!InFlight()) {
      KeSetEvent(&StopEvent, IO_NO_INCREMENT, FALSE);
    }
  } else if (!Halted) {
    Pump();
  }
}

VOID CMidiPipe::StartPipe() {
  LockPipe();
  Pump();
  UnlockPipe();
}

VOID CMidiPipe::StopPipe() {
  KeClearEvent(&StopEvent);
  LockPipe();
  const BOOLEAN inFlight = InFlight();
  Stopping = 1;
  UnlockPipe();

  if (inFlight) {
    CTransferSlot* slot = Pool.SlotAt(0);
    if (InterlockedCompareExchange(&slot->InUse, 0, 0) != 0 && slot->Request != nullptr) {
      IoCancelIrp(slot->Request);
    }
    KeWaitForSingleObject(&StopEvent, Executive, KernelMode, FALSE, nullptr);
  }

  LockPipe();
  Stopping = 0;
  UnlockPipe();
}

BOOLEAN CMidiPipe::ResetConnectedPipe() {
  return Owner != nullptr && Owner->IsPortConnected() && Owner->ResetPipe(Record);
}

VOID CMidiPipe::StopAndResetPipe() {
  StopPipe();
  if (Halted && Owner != nullptr && Owner->IsPortConnected()) {
    Owner->ResetPipe(Record);
  }
  LockPipe();
  Halted = 0;
  HaltTicks = 0;
  UnlockPipe();
}

VOID CMidiPipe::CountHaltTick(CWorkerThread* worker, ULONG eventIndex) {
  LockPipe();
  if (!Stopping && Halted && HaltTicks < static_cast<LONG>(kHaltTicksBeforeRecovery)) {
    if (++HaltTicks == static_cast<LONG>(kHaltTicksBeforeRecovery)) {
      worker->Signal(eventIndex);
    }
  }
  UnlockPipe();
}
