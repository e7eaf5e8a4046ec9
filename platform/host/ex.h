// Executive pool: tagged allocations from the non-paged and paged pools.
#pragma once

#include "host/ntdef.h"

typedef enum _POOL_TYPE {
  NonPagedPool = 0,
  NonPagedPoolExecute = 0,
  PagedPool = 1,
  NonPagedPoolMustSucceed = 2,
  DontUseThisType = 3,
  NonPagedPoolCacheAligned = 4,
  PagedPoolCacheAligned = 5,
  NonPagedPoolCacheAlignedMustS = 6,
  NonPagedPoolNx = 512,
  NonPagedPoolNxCacheAligned = 516,
} POOL_TYPE;

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

// Raises a structured exception with this status (caught through KxCallGuarded, platform/seh.h).
DECLSPEC_NORETURN VOID NTAPI ExRaiseStatus(NTSTATUS Status);
