// Memory descriptor lists: allocation from pool, probing and locking user
// pages through the process's address space, and system mappings.
//
// IRQL: IoAllocateMdl, IoFreeMdl, MmUnlockPages, the kernel-mode mappings
// and MmBuildMdlForNonPagedPool at DISPATCH_LEVEL or below; probing user
// pages at APC_LEVEL or below.

#include <string>

#include <wdm.h>

#include "platform/sim/address_space.h"
#include "platform/sim/machine.h"
#include "platform/sim/pool.h"
#include "platform/sim/verifier.h"

namespace {

constexpr ULONG kMdlTag = ' ldM';  // "Mdl "
// The largest buffer one MDL describes: 4 GB less a page.
constexpr ULONG kMaximumLength = 0xFFFFF000;
constexpr ULONG kNoMoreSystemPtes = 0x3F;

void CheckIrqlAtMost(KIRQL limit, const char* routine, const std::source_location& caller) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > limit)
    sim::VerifierFail(sim::rule::kIrqlNotLess,
                      std::string(routine) + " at IRQL " + std::to_string(irql) + ", above " + std::to_string(limit),
                      caller);
}

// Page frame numbers: physical addresses are the virtual ones for kernel
// memory (as MmGetPhysicalAddress reports) and the user view's for user
// pages; nothing reads them back but drivers that look.
void FillPfnArray(PMDL mdl) {
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  ULONG_PTR first = reinterpret_cast<ULONG_PTR>(mdl->StartVa) >> PAGE_SHIFT;
  for (ULONG i = 0; i < pages; ++i) pfns[i] = first + i;
}

}  // namespace

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp,
                   const std::source_location& Caller) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl", Caller);
  // An empty MDL could be neither locked nor mapped.
  if (Length == 0 || Length > kMaximumLength) return nullptr;
  ULONG_PTR address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
  if (address + Length < address) return nullptr;
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  size_t size = sizeof(MDL) + size_t{pages} * sizeof(PFN_NUMBER);
  auto* mdl = static_cast<PMDL>(
      sim::Machine::CurrentChecked().pool().Allocate(POOL_FLAG_NON_PAGED, size, kMdlTag, true, Caller));
  if (mdl == nullptr) return nullptr;
  mdl->Size = static_cast<SHORT>(size);  // wraps for large MDLs, as CSHORT does
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  mdl->StartVa = PAGE_ALIGN(VirtualAddress);
  mdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  mdl->ByteCount = Length;
  if (Irp != nullptr) {
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl, const std::source_location& Caller) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl", Caller);
  if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
    sim::VerifierFail(sim::rule::kMdlFreedWhileLocked, "IoFreeMdl on an MDL whose pages are still locked", Caller);
  sim::Machine::CurrentChecked().pool().Free(Mdl, kMdlTag, true, Caller);
}

VOID MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation,
                         const std::source_location& Caller) {
  CheckIrqlAtMost(APC_LEVEL, "MmProbeAndLockPages", Caller);
  if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))
    sim::VerifierFail(sim::rule::kMdlAlreadyLocked, "MmProbeAndLockPages on an MDL that is already locked", Caller);
  PVOID address = MmGetMdlVirtualAddress(Mdl);
  PEPROCESS process = PsGetCurrentProcess();
  sim::UserAddressSpace& space = sim::UserAddressSpace::Of(*process);
  if (space.Lock(Mdl, address, Mdl->ByteCount, Operation != IoReadAccess)) {
    Mdl->Process = process;
  } else if (AccessMode == KernelMode && !space.IsRegistered(address)) {
    // Kernel memory from a kernel-mode caller: resident already, locked
    // where it is.
    Mdl->Process = nullptr;
  } else {
    ExRaiseStatus(STATUS_ACCESS_VIOLATION);
  }
  FillPfnArray(Mdl);
  Mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmUnlockPages(PMDL Mdl, const std::source_location& Caller) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages", Caller);
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
    sim::VerifierFail(sim::rule::kMdlNotLocked, "MmUnlockPages on an MDL whose pages are not locked", Caller);
  // Unlocking also drops the system mapping, as it does on Windows.
  if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(Mdl->MappedSystemVa, Mdl, Caller);
  if (Mdl->Process != nullptr) sim::UserAddressSpace::Of(*Mdl->Process).Unlock(Mdl);
  Mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE, PVOID,
                                   ULONG BugCheckOnFailure, ULONG Priority, const std::source_location& Caller) {
  // Mapping into a user address space is not modelled; callers of that mode
  // handle a raise.
  if (AccessMode == UserMode) ExRaiseStatus(STATUS_NOT_SUPPORTED);
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache", Caller);
  if (Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return Mdl->MappedSystemVa;
  if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED))
    sim::VerifierFail(sim::rule::kMdlNotLocked, "mapping an MDL whose pages are not locked", Caller);
  if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)
    sim::VerifierFail(sim::rule::kMdlAlreadyMapped, "mapping an MDL that is already mapped to system space", Caller);
  PVOID system = MmGetMdlVirtualAddress(Mdl);
  if (Mdl->Process != nullptr) {
    system = sim::UserAddressSpace::Of(*Mdl->Process).MapSystemView(Mdl, !(Priority & MdlMappingNoWrite));
    if (system == nullptr) {
      if (BugCheckOnFailure) KeBugCheckEx(kNoMoreSystemPtes, reinterpret_cast<ULONG_PTR>(Mdl), 0, 0, 0);
      return nullptr;
    }
  }
  Mdl->MappedSystemVa = system;
  Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  return system;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl, const std::source_location& Caller) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages", Caller);
  if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != Mdl->MappedSystemVa)
    sim::VerifierFail(sim::rule::kMdlNotMapped, "MmUnmapLockedPages of an address the MDL is not mapped at", Caller);
  if (Mdl->Process != nullptr) sim::UserAddressSpace::Of(*Mdl->Process).UnmapSystemView(Mdl, BaseAddress);
  Mdl->MappedSystemVa = nullptr;
  Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority, const std::source_location& Caller) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return Mdl->MappedSystemVa;
  return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, Priority, Caller);
}

VOID MmBuildMdlForNonPagedPool(PMDL Mdl) {
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmBuildMdlForNonPagedPool", std::source_location::current());
  Mdl->Process = nullptr;
  Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
  Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
  FillPfnArray(Mdl);
}
