// Header of the memory the ASIO driver shares with the kernel driver: ring
// positions and flags, followed by one ring per channel (inputs, then
// outputs). All fields are 32-bit little-endian; offsets are fixed.
#pragma once

#include <cstddef>

#include "nt/basetypes.h"

inline constexpr ULONG kAsioRingSlots = 64;

struct AsioSharedBlock {
  ULONG headerSize;      // written by the client
  ULONG kernelPosition;  // kernel: ring position in frames
  ULONG stopFlag;        // kernel: realignment flag
  ULONG acknowledge;     // client: realignment flag
  ULONG kernelSlot;      // kernel: slot completed last, 0..63
  ULONG clientSlot;      // client
  ULONG clientReserved1[4];
  ULONG inputReadOffset;   // client
  ULONG inputReadWraps;    // client
  ULONG inputWriteOffset;  // kernel
  ULONG inputWriteWraps;   // kernel
  ULONG inputRingSize;     // client: bytes per input ring
  ULONG clientReserved2[5];
  ULONG outputReadOffset;   // kernel
  ULONG outputReadWraps;    // kernel
  ULONG outputWriteOffset;  // client
  ULONG outputWriteWraps;   // client
  ULONG outputRingSize;     // client: bytes per output ring
  ULONG reserved;
};

static_assert(offsetof(AsioSharedBlock, kernelPosition) == 0x04);
static_assert(offsetof(AsioSharedBlock, stopFlag) == 0x08);
static_assert(offsetof(AsioSharedBlock, acknowledge) == 0x0C);
static_assert(offsetof(AsioSharedBlock, kernelSlot) == 0x10);
static_assert(offsetof(AsioSharedBlock, clientSlot) == 0x14);
static_assert(offsetof(AsioSharedBlock, inputReadOffset) == 0x28);
static_assert(offsetof(AsioSharedBlock, inputReadWraps) == 0x2C);
static_assert(offsetof(AsioSharedBlock, inputWriteOffset) == 0x30);
static_assert(offsetof(AsioSharedBlock, inputWriteWraps) == 0x34);
static_assert(offsetof(AsioSharedBlock, inputRingSize) == 0x38);
static_assert(offsetof(AsioSharedBlock, outputReadOffset) == 0x50);
static_assert(offsetof(AsioSharedBlock, outputReadWraps) == 0x54);
static_assert(offsetof(AsioSharedBlock, outputWriteOffset) == 0x58);
static_assert(offsetof(AsioSharedBlock, outputWriteWraps) == 0x5C);
static_assert(offsetof(AsioSharedBlock, outputRingSize) == 0x60);
static_assert(sizeof(AsioSharedBlock) == 104);
