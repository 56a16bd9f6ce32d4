// The MIDI subdevice's filters: both directions (render host pin 0 to
// bridge pin 1, bridge pin 3 to capture host pin 2), output only and input
// only. Static and read-only; any IRQL.
#pragma once

#include <wdm.h>
#include <portcls.h>

// The filter for the directions present; null when there are none.
const PCFILTER_DESCRIPTOR* MidiFilterDescriptor(BOOLEAN hasOutput, BOOLEAN hasInput);
