// Executive: pool allocation and the system timer resolution.
#pragma once

#include "nt/ke.h"

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag, NT_CALLER_LOCATION);
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, NT_CALLER_LOCATION);
PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, NT_CALLER_LOCATION);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, NT_CALLER_LOCATION);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag, NT_CALLER_LOCATION);
VOID ExFreePool(PVOID P, NT_CALLER_LOCATION);

// Returns the resolution in force after the call, in 100-ns units.
ULONG ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = 0,
  MmCached = 1,
  MmWriteCombined = 2,
  MmHardwareCoherentCached,
  MmNonCachedUnordered,
  MmUSWCCached,
  MmMaximumCacheType,
  MmNotMapped = -1
} MEMORY_CACHING_TYPE;

PVOID MmAllocateContiguousMemorySpecifyCache(SIZE_T NumberOfBytes,
                                             PHYSICAL_ADDRESS LowestAcceptableAddress,
                                             PHYSICAL_ADDRESS HighestAcceptableAddress,
                                             PHYSICAL_ADDRESS BoundaryAddressMultiple,
                                             MEMORY_CACHING_TYPE CacheType, NT_CALLER_LOCATION);
PVOID MmAllocateContiguousMemory(SIZE_T NumberOfBytes, PHYSICAL_ADDRESS HighestAcceptableAddress,
                                 NT_CALLER_LOCATION);
VOID MmFreeContiguousMemory(PVOID BaseAddress, NT_CALLER_LOCATION);
PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress);
