// Run-time library: memory helpers.
#pragma once

#include <cstring>

#include "nt/basetypes.h"

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!memcmp((Destination), (Source), (Length)))
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);
