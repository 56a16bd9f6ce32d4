// Transfer slots: one request, one transfer block (URB) and one buffer,
// allocated once and reused for every submission. Three classes share one
// table of operations: bulk (MIDI), isochronous IN and isochronous OUT.
// A pool holds its slots consecutively and steps between them by SlotSize.
//
// Slots are allocated and freed at PASSIVE_LEVEL; AcquireSlot and the
// in-use count work at any IRQL up to DISPATCH_LEVEL.
#pragma once

#include <wdm.h>
#include <usb.h>

class CPipeRecord;

// Called from the slot's completion routine at DISPATCH_LEVEL; returns the
// completion routine's result (STATUS_MORE_PROCESSING_REQUIRED: the request
// stays with the driver).
class ITransferOwner {
 public:
  virtual NTSTATUS OnTransferComplete(class CTransferSlot* slot) = 0;

 protected:
  ~ITransferOwner() = default;
};

inline constexpr ULONG kUsbPoolTag = 'bsUM';
inline constexpr ULONG kBulkUrbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
inline constexpr ULONG kIsoPacketsPerMillisecond = 8;  // one per microframe

class CTransferSlot {
 public:
  CTransferSlot();
  virtual ~CTransferSlot() = default;
  virtual BOOLEAN AllocateIsoUrb(ULONG milliseconds, ULONG channels) { return FALSE; }
  virtual BOOLEAN AllocateUrb() { return FALSE; }
  virtual BOOLEAN AllocateBuffer(ULONG size) { return FALSE; }
  virtual BOOLEAN AllocateContiguousBuffer(ULONG size) { return FALSE; }
  virtual VOID FreeUrb();
  virtual VOID FreeBuffer() {}
  virtual VOID FreeContiguousBuffer() {}
  virtual BOOLEAN HasUrb() const { return Urb != nullptr; }
  virtual BOOLEAN HasBuffer() const { return BufferAddress != nullptr; }
  virtual PURB UrbAddress() const { return Urb; }
  virtual PVOID Buffer() const { return BufferAddress; }
  virtual ULONG SlotSize() const = 0;

  // Reuses the request and points its next stack location at the URB with
  // the slot completion routine (success, error and cancel).
  VOID PrepareRequest();
  // One request for StackCount locations, allocated once and reused.
  BOOLEAN AllocateRequest();
  VOID FreeRequest();

  LONG InUse;
  ITransferOwner* Owner;
  CCHAR StackCount;
  PIRP Request;
  PURB Urb;
  ULONG UrbSize;
  PVOID BufferAddress;
  ULONG BufferSize;
};

class CBulkSlot : public CTransferSlot {
 public:
  BOOLEAN AllocateUrb() override;
  BOOLEAN AllocateBuffer(ULONG size) override;
  VOID FreeBuffer() override;
  ULONG SlotSize() const override { return sizeof(CBulkSlot); }
};

class CIsoSlot : public CTransferSlot {
 public:
  BOOLEAN AllocateIsoUrb(ULONG milliseconds, ULONG channels) override;
  BOOLEAN AllocateContiguousBuffer(ULONG size) override;
  VOID FreeContiguousBuffer() override;

  ULONG PacketCount;  // milliseconds x 8
  ULONG FrameBytes;   // 4 x channels
};

class CIsoInSlot : public CIsoSlot {
 public:
  ULONG SlotSize() const override { return sizeof(CIsoInSlot); }
};

class CIsoOutSlot : public CIsoSlot {
 public:
  ULONG SlotSize() const override { return sizeof(CIsoOutSlot); }
};

// The pool header; its slots follow it in the owning object.
struct TRANSFER_POOL {
  LONG InUseCount;
  ULONG SlotCount;
  LONG MaximumInUse;
  CTransferSlot* FirstSlot;

  CTransferSlot* SlotAt(ULONG index) const;
};

template <typename Slot, ULONG Count>
struct TRANSFER_POOL_OF : TRANSFER_POOL {
  TRANSFER_POOL_OF() {
    InUseCount = 0;
    SlotCount = Count;
    MaximumInUse = static_cast<LONG>(Count);
    FirstSlot = Slots;
  }
  Slot Slots[Count];
};

typedef TRANSFER_POOL_OF<CBulkSlot, 1> BULK_POOL;
inline constexpr ULONG kIsoSlotsPerDirection = 32;
typedef TRANSFER_POOL_OF<CIsoOutSlot, kIsoSlotsPerDirection> ISO_OUT_POOL;
typedef TRANSFER_POOL_OF<CIsoInSlot, kIsoSlotsPerDirection> ISO_IN_POOL;

// The pool's one slot: stack count, request, transfer block and a zeroed
// buffer of `bufferSize`; FALSE leaves nothing allocated.
BOOLEAN CreateBulkPool(BULK_POOL* pool, ITransferOwner* owner, PDEVICE_OBJECT lowerDeviceObject,
                       ULONG bufferSize);
VOID FreeBulkPool(BULK_POOL* pool);
// Engine start: every slot gets its owner, the stack count, a request and
// an isochronous transfer block for `milliseconds` x 8 packets. On the
// first failure every slot's request and block are freed again (the
// buffers stay) and FALSE is returned.
BOOLEAN PrepareIsoPool(TRANSFER_POOL* pool, ITransferOwner* owner, PDEVICE_OBJECT lowerDeviceObject,
                       ULONG milliseconds, ULONG channels);
// Engine stop: frees the requests and transfer blocks, keeps the buffers.
VOID ReleaseIsoPool(TRANSFER_POOL* pool);
// Gives every slot of the pool a contiguous buffer of `size` rounded up to
// whole pages; on failure the pool's buffers are freed again.
BOOLEAN AllocateIsoBuffers(TRANSFER_POOL* pool, ULONG size);
VOID FreeIsoBuffers(TRANSFER_POOL* pool);
// The first free slot when fewer than MaximumInUse are in use; the in-use
// count is incremented atomically. Null otherwise.
CTransferSlot* AcquireSlot(TRANSFER_POOL* pool);
// Clears the slot's in-use flag and, when it was set, decrements the count,
// clamped at 0; releasing a released slot changes nothing.
VOID ReleaseSlot(TRANSFER_POOL* pool, CTransferSlot* slot);
// Sends the slot's prepared request to the lower device of the record's
// owner; true when the call did not fail. A request that fails at once
// has already been through the completion routine.
BOOLEAN SubmitSlot(CPipeRecord* record, CTransferSlot* slot);
