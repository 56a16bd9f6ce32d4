// The port's own data-range intersection, used when the miniport answers
// STATUS_NOT_IMPLEMENTED: audio ranges with a WAVEFORMATEX specifier give a
// KSDATAFORMAT_WAVEFORMATEX at the highest common channel count, sample size
// and rate; any other range gives the plain KSDATAFORMAT of the pin's range,
// with the client's identifiers where the pin has wildcards.
//
// Output protocol: length 0 asks for the size (STATUS_BUFFER_OVERFLOW and the
// size); a shorter buffer is STATUS_BUFFER_TOO_SMALL.
#pragma once

#include <ksmedia.h>

namespace sim::portcls {

NTSTATUS DefaultIntersection(const KSDATARANGE& clientRange, const KSDATARANGE& pinRange,
                             ULONG outputLength, PVOID result, PULONG resultLength);

}  // namespace sim::portcls
