// Ex and Mm allocation entry points over the machine's pool.

#include "platform/sim/dispatcher.h"
#include "platform/sim/pool.h"
#include "platform/sim/verifier.h"

namespace {

bool IsPagedType(POOL_TYPE type) { return (type & 1) != 0; }

void CheckAllocationIrql(bool paged, const std::source_location& caller) {
  KIRQL irql = KeGetCurrentIrql();
  if ((paged && irql > APC_LEVEL) || irql > DISPATCH_LEVEL) {
    char detail[80];
    snprintf(detail, sizeof detail, "%s pool used at IRQL %d", paged ? "paged" : "non-paged", irql);
    sim::VerifierFail(sim::rule::kPoolIrql, detail, caller);
  }
}

void FreeBlock(PVOID block, ULONG tag, bool checkTag, const std::source_location& caller) {
  if (block == nullptr) sim::VerifierFail(sim::rule::kPoolDoubleFree, "free of a null pointer", caller);
  sim::Machine& machine = sim::Machine::CurrentChecked();
  CheckAllocationIrql(false, caller);
  // A block that still holds a set timer or queued DPC would corrupt the
  // dispatcher's lists once reused.
  std::string what;
  size_t size = machine.pool().SizeOf(block);
  if (size != 0 && machine.dispatcher().RangeHoldsActiveObject(block, size, &what))
    sim::VerifierFail(sim::rule::kPoolHoldsActiveObject, "freed pool block holds " + what, caller);
  machine.pool().Free(block, tag, checkTag, caller);
}

}  // namespace

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag, const std::source_location& Caller) {
  CheckAllocationIrql((Flags & POOL_FLAG_PAGED) != 0, Caller);
  if (Tag == 0) return nullptr;  // a tag is required
  PVOID block = sim::Machine::CurrentChecked().pool().Allocate(Flags, NumberOfBytes, Tag,
                                                               (Flags & POOL_FLAG_UNINITIALIZED) == 0, Caller);
  if (block == nullptr && (Flags & POOL_FLAG_RAISE_ON_FAILURE))
    sim::VerifierFail("POOL_RAISE_ON_FAILURE", "allocation failed with POOL_FLAG_RAISE_ON_FAILURE", Caller);
  return block;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag,
                            const std::source_location& Caller) {
  CheckAllocationIrql(IsPagedType(PoolType), Caller);
  return sim::Machine::CurrentChecked().pool().Allocate(0, NumberOfBytes, Tag, false, Caller);
}

PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, const std::source_location& Caller) {
  CheckAllocationIrql(IsPagedType(PoolType), Caller);
  return sim::Machine::CurrentChecked().pool().Allocate(0, NumberOfBytes, Tag, true, Caller);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, const std::source_location& Caller) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */, Caller);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag, const std::source_location& Caller) { FreeBlock(P, Tag, true, Caller); }

VOID ExFreePool(PVOID P, const std::source_location& Caller) { FreeBlock(P, 0, false, Caller); }

ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
  return sim::Machine::CurrentChecked().SetTimerResolution(DesiredTime, SetResolution != FALSE);
}

PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress, PHYSICAL_ADDRESS,
                                             MEMORY_CACHING_TYPE, const std::source_location& Caller) {
  CheckAllocationIrql(false, Caller);
  return sim::Machine::CurrentChecked().pool().AllocateContiguous(
      NumberOfBytes, static_cast<uint64_t>(HighestAcceptableAddress.QuadPart), Caller);
}

PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress,
                                 const std::source_location& Caller) {
  PHYSICAL_ADDRESS zero;
  zero.QuadPart = 0;
  return MmAllocateContiguousMemorySpecifyCache(NumberOfBytes, zero, HighestAcceptableAddress, zero, MmCached,
                                                Caller);
}

VOID MmFreeContiguousMemory(PVOID BaseAddress, const std::source_location& Caller) {
  sim::Machine::CurrentChecked().pool().FreeContiguous(BaseAddress, Caller);
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress) {
  PHYSICAL_ADDRESS address;
  address.QuadPart = static_cast<LONGLONG>(reinterpret_cast<ULONG_PTR>(BaseAddress));
  return address;
}
