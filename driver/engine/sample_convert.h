// Conversion between the engine's float samples and the client formats.
// A client buffer is a byte ring [begin, end); one channel's samples are a
// stride apart. Runs in the data cycle at DISPATCH_LEVEL; touches no lock.
#pragma once

#include <wdm.h>

// bytesPerSample 1: unsigned 8-bit; 2: signed 16-bit; 3: signed 24-bit packed;
// 4: signed 32-bit, or 24 valid bits in the upper three bytes when validBits
// is 24. Any other width converts nothing.

// Float to client format; *current moves on by frames steps.
VOID CaptureConvert(PUCHAR begin, PUCHAR end, PUCHAR* current, const FLOAT* source, ULONG frames,
                    ULONG destinationStride, ULONG bytesPerSample, ULONG sourceStride,
                    ULONG validBits);

// Client format to float into a contiguous one-channel buffer, overwriting.
// Returns the source pointer after the last sample read.
PUCHAR RenderConvert(PUCHAR begin, PUCHAR end, PUCHAR source, FLOAT* destination, ULONG frames,
                     ULONG sourceStride, ULONG bytesPerSample, ULONG validBits);

// As RenderConvert, adding to the destination.
PUCHAR RenderAdd(PUCHAR begin, PUCHAR end, PUCHAR source, FLOAT* destination, ULONG frames,
                 ULONG sourceStride, ULONG bytesPerSample, ULONG validBits);
