#include "driver/usb/transfer_slot.h"

#include <usbdlib.h>
#include <usbioctl.h>

#include "driver/usb/usb_device.h"

namespace {

// Isochronous buffers are handed to the controller by physical address; it
// reaches only the first 4 GB.
constexpr LONGLONG kHighestIsoAddress = 0xFFFFFFFF;

NTSTATUS NTAPI SlotCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* slot = static_cast<CTransferSlot*>(context);
  return slot->Owner->OnTransferComplete(slot);
}

}  // namespace

CTransferSlot::CTransferSlot()
    : InUse(0),
      Owner(nullptr),
      StackCount(0),
      Request(nullptr),
      Urb(nullptr),
      UrbSize(0),
      BufferAddress(nullptr),
      BufferSize(0) {}

VOID CTransferSlot::FreeUrb() {
  if (Urb != nullptr) {
    ExFreePoolWithTag(Urb, kUsbPoolTag);
    Urb = nullptr;
  }
  UrbSize = 0;
}

BOOLEAN CTransferSlot::AllocateRequest() {
  if (Request == nullptr) {
    Request = IoAllocateIrp(StackCount, FALSE);
  }
  return Request != nullptr;
}

VOID CTransferSlot::FreeRequest() {
  if (Request != nullptr) {
    IoFreeIrp(Request);
    Request = nullptr;
  }
}

VOID CTransferSlot::PrepareRequest() {
  IoReuseIrp(Request, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Request);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
  IoSetCompletionRoutine(Request, SlotCompletion, this, TRUE, TRUE, TRUE);
}

BOOLEAN CBulkSlot::AllocateUrb() {
  if (Urb == nullptr) {
    Urb = static_cast<PURB>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kBulkUrbBytes, kUsbPoolTag));
  }
  UrbSize = Urb != nullptr ? kBulkUrbBytes : 0;
  return Urb != nullptr;
}

BOOLEAN CBulkSlot::AllocateBuffer(ULONG size) {
  if (BufferAddress == nullptr) {
    BufferAddress = ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kUsbPoolTag);
  }
  BufferSize = BufferAddress != nullptr ? size : 0;
  return BufferAddress != nullptr;
}

VOID CBulkSlot::FreeBuffer() {
  if (BufferAddress != nullptr) {
    ExFreePoolWithTag(BufferAddress, kUsbPoolTag);
    BufferAddress = nullptr;
  }
  BufferSize = 0;
}

BOOLEAN CIsoSlot::AllocateIsoUrb(ULONG milliseconds, ULONG channels) {
  PacketCount = milliseconds * kIsoPacketsPerMillisecond;
  FrameBytes = 4 * channels;
  const SIZE_T bytes = GET_ISO_URB_SIZE(PacketCount);
  // The URB length field is 16 bits.
  if (PacketCount == 0 || bytes > 0xFFFF) {
    return FALSE;
  }
  FreeUrb();
  Urb = static_cast<PURB>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kUsbPoolTag));
  UrbSize = Urb != nullptr ? static_cast<ULONG>(bytes) : 0;
  return Urb != nullptr;
}

BOOLEAN CIsoSlot::AllocateContiguousBuffer(ULONG size) {
  if (BufferAddress == nullptr) {
    PHYSICAL_ADDRESS highest;
    highest.QuadPart = kHighestIsoAddress;
    BufferAddress = MmAllocateContiguousMemory(size, highest);
    if (BufferAddress != nullptr) {
      RtlZeroMemory(BufferAddress, size);
    }
  }
  BufferSize = BufferAddress != nullptr ? size : 0;
  return BufferAddress != nullptr;
}

VOID CIsoSlot::FreeContiguousBuffer() {
  if (BufferAddress != nullptr) {
    MmFreeContiguousMemory(BufferAddress);
    BufferAddress = nullptr;
  }
  BufferSize = 0;
}

CTransferSlot* TRANSFER_POOL::SlotAt(ULONG index) const {
  // The classes differ in size; the pool steps by the slot's own.
  auto* first = reinterpret_cast<PUCHAR>(FirstSlot);
  return reinterpret_cast<CTransferSlot*>(first + static_cast<SIZE_T>(index) * FirstSlot->SlotSize());
}

BOOLEAN CreateBulkPool(BULK_POOL* pool, ITransferOwner* owner, PDEVICE_OBJECT lowerDeviceObject,
                       ULONG bufferSize) {
  CTransferSlot* slot = pool->SlotAt(0);
  pool->InUseCount = 0;
  pool->MaximumInUse = 1;
  slot->InUse = 0;
  slot->Owner = owner;
  slot->StackCount = static_cast<CCHAR>(lowerDeviceObject->StackSize + 1);
  if (!slot->AllocateRequest() || !slot->AllocateUrb() || !slot->AllocateBuffer(bufferSize)) {
    FreeBulkPool(pool);
    return FALSE;
  }
  RtlZeroMemory(slot->Buffer(), bufferSize);
  return TRUE;
}

VOID FreeBulkPool(BULK_POOL* pool) {
  CTransferSlot* slot = pool->SlotAt(0);
  slot->FreeRequest();
  slot->FreeUrb();
  slot->FreeBuffer();
  slot->InUse = 0;
  pool->InUseCount = 0;
}

BOOLEAN PrepareIsoPool(TRANSFER_POOL* pool, ITransferOwner* owner, PDEVICE_OBJECT lowerDeviceObject,
                       ULONG milliseconds, ULONG channels) {
  pool->InUseCount = 0;
  for (ULONG i = 0; i < pool->SlotCount; ++i) {
    CTransferSlot* slot = pool->SlotAt(i);
    slot->InUse = 0;
    slot->Owner = owner;
    slot->StackCount = static_cast<CCHAR>(lowerDeviceObject->StackSize + 1);
    if (!slot->AllocateRequest() || !slot->AllocateIsoUrb(milliseconds, channels)) {
      ReleaseIsoPool(pool);
      return FALSE;
    }
  }
  return TRUE;
}

VOID ReleaseIsoPool(TRANSFER_POOL* pool) {
  for (ULONG i = 0; i < pool->SlotCount; ++i) {
    CTransferSlot* slot = pool->SlotAt(i);
    slot->FreeRequest();
    slot->FreeUrb();
    slot->InUse = 0;
  }
  pool->InUseCount = 0;
}

BOOLEAN AllocateIsoBuffers(TRANSFER_POOL* pool, ULONG size) {
  const ULONG rounded = static_cast<ULONG>(ROUND_TO_PAGES(size));
  for (ULONG i = 0; i < pool->SlotCount; ++i) {
    if (!pool->SlotAt(i)->AllocateContiguousBuffer(rounded)) {
      FreeIsoBuffers(pool);
      return FALSE;
    }
  }
  return TRUE;
}

VOID FreeIsoBuffers(TRANSFER_POOL* pool) {
  for (ULONG i = 0; i < pool->SlotCount; ++i) {
    pool->SlotAt(i)->FreeContiguousBuffer();
  }
}

CTransferSlot* AcquireSlot(TRANSFER_POOL* pool) {
  if (InterlockedCompareExchange(&pool->InUseCount, 0, 0) >= pool->MaximumInUse) {
    return nullptr;
  }
  for (ULONG i = 0; i < pool->SlotCount; ++i) {
    CTransferSlot* slot = pool->SlotAt(i);
    if (InterlockedCompareExchange(&slot->InUse, 1, 0) == 0) {
      InterlockedIncrement(&pool->InUseCount);
      return slot;
    }
  }
  return nullptr;
}

VOID ReleaseSlot(TRANSFER_POOL* pool, CTransferSlot* slot) {
  // A request that fails inside IoCallDriver is released by its completion
  // and again by the submitter; only the first release counts.
  if (InterlockedExchange(&slot->InUse, 0) == 0) {
    return;
  }
  if (InterlockedDecrement(&pool->InUseCount) < 0) {
    InterlockedExchange(&pool->InUseCount, 0);
  }
}

BOOLEAN SubmitSlot(CPipeRecord* record, CTransferSlot* slot) {
  PDEVICE_OBJECT target = record->Owner != nullptr ? record->Owner->LowerDeviceObject : nullptr;
  if (target == nullptr || slot->Request == nullptr) {
    return FALSE;
  }
  return NT_SUCCESS(IoCallDriver(target, slot->Request));
}
