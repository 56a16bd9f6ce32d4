// The command-number service of an ASIO shared block: ring positions with
// their wrap counts, the two realignment flags and the two slot indices.
// The client changes the block concurrently; single 32-bit reads and writes
// are the only protection, so each field is read once per decision. Any
// IRQL. Unlisted commands return 0xFFFFFFFF.
#pragma once

#include <wdm.h>

#include "common/asio_shared_block.h"
#include "driver/engine/command_service.h"

enum SHARED_BLOCK_COMMAND : ULONG {
  SbBothRingsConsistent = 0,
  SbGetKernelPosition = 1,
  SbSetKernelPosition = 2,
  SbKernelMayAdvance = 3,
  SbClientMayAdvance = 4,
  SbBothFlags = 5,
  SbEitherFlag = 6,
  SbAcknowledged = 7,
  SbStopped = 8,
  SbSetAcknowledge = 9,
  SbSetStopFlag = 10,
  SbClearFlags = 11,
  SbClearAll = 12,
  SbAdvanceKernelSlot = 13,
  SbAdvanceClientSlot = 14,
  SbGetKernelSlot = 15,
  SbGetClientSlot = 16,
  SbClearKernelSlot = 17,
  SbClearClientSlot = 18,
  SbGetHeaderSize = 19,
  SbSetInputRingSize = 20,
  SbClearInputPositions = 21,
  SbGetInputReadOffset = 22,
  SbGetInputWriteOffset = 23,
  SbGetInputReadWraps = 24,
  SbGetInputWriteWraps = 25,
  SbGetInputRingSize = 26,
  SbSetInputReadOffset = 27,
  SbSetInputWriteOffset = 28,
  SbAdvanceInputRead = 29,
  SbAdvanceInputWrite = 30,
  SbInputReadMayAdvance = 31,
  SbInputWriteMayAdvance = 32,
  SbInputRingConsistent = 33,
  SbSetOutputRingSize = 34,
  SbClearOutputPositions = 35,
  SbGetOutputReadOffset = 36,
  SbGetOutputWriteOffset = 37,
  SbGetOutputReadWraps = 38,
  SbGetOutputWriteWraps = 39,
  SbGetOutputRingSize = 40,
  SbSetOutputReadOffset = 41,
  SbSetOutputWriteOffset = 42,
  SbAdvanceOutputRead = 43,
  SbAdvanceOutputWrite = 44,
  SbOutputReadMayAdvance = 45,
  SbOutputWriteMayAdvance = 46,
  SbOutputRingConsistent = 47,
};

typedef ULONG (*SHARED_BLOCK_SERVICE)(PVOID block, ULONG command, ULONG a);

struct SHARED_BLOCK_SERVICE_PAIR {
  SHARED_BLOCK_SERVICE Function;
  PVOID Context;
};

// `block` is the AsioSharedBlock in system space.
ULONG SharedBlockService(PVOID block, ULONG command, ULONG a);
