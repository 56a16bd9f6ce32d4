// Memory descriptor lists: probing and locking user buffers and mapping them
// into system space.
#pragma once

#include "nt/ex.h"
#include "nt/io.h"
#include "nt/seh.h"

typedef struct _MDL {
  struct _MDL* Next;
  SHORT Size;
  SHORT MdlFlags;
  struct _EPROCESS* Process;
  PVOID MappedSystemVa;
  PVOID StartVa;  // page-aligned start of the described range
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_IO_SPACE 0x0800

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

typedef enum _MM_PAGE_PRIORITY { LowPagePriority, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp,
                   NT_CALLER_LOCATION);
VOID IoFreeMdl(PMDL Mdl, NT_CALLER_LOCATION);
// Raises (see nt/seh.h) with STATUS_ACCESS_VIOLATION when the range is not
// the caller's memory or is read-only and probed for writing.
VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation,
                         NT_CALLER_LOCATION);
VOID MmUnlockPages(PMDL MemoryDescriptorList, NT_CALLER_LOCATION);
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority, NT_CALLER_LOCATION);
VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList, NT_CALLER_LOCATION);
PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority, NT_CALLER_LOCATION);
VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);

// Page frame numbers follow the MDL, one per page it spans.
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define BYTE_OFFSET(Va) ((ULONG)((ULONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
  ((ULONG)((((ULONG_PTR)(Size)) + BYTE_OFFSET(Va) + PAGE_SIZE - 1) >> PAGE_SHIFT))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~(ULONG_PTR)(PAGE_SIZE - 1))
#define BYTES_TO_PAGES(Size) ((ULONG)(((ULONG_PTR)(Size) + PAGE_SIZE - 1) >> PAGE_SHIFT))

// Raise STATUS_ACCESS_VIOLATION unless the whole range is the current
// process's memory (writable, for ProbeForWrite), and
// STATUS_DATATYPE_MISALIGNMENT when Address is not a multiple of Alignment.
// A zero Length probes nothing.
VOID ProbeForRead(const volatile VOID* Address, SIZE_T Length, ULONG Alignment);
VOID ProbeForWrite(volatile VOID* Address, SIZE_T Length, ULONG Alignment);
