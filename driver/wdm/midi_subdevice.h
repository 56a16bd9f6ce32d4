// The unit's MIDI subdevice: its slot (the MIDI output pipe as the render
// side, the receiving side of the MIDI input pipe as the capture side), the
// names it could be registered under and the receiving side itself. Lives
// in the device context from start to removal; registered once at device
// start (PASSIVE_LEVEL, with the device's PipeEvent held, before the first
// MIDI read).
#pragma once

#include <wdm.h>
#include <portcls.h>

#include "driver/usb/midi_pipes.h"
#include "driver/wdm/midi_input_side.h"
#include "driver/wdm/subdevice_slot.h"

inline constexpr ULONG kMidiNamesPerKind = 16;
inline constexpr ULONG kMidiNameChars = 20;

class CMidiSubdeviceSlot final : public CSubdeviceSlot {
 public:
  CMidiSubdeviceSlot() : RenderSide(nullptr), CaptureSide(nullptr) {}
  NTSTATUS CreateMiniport(PUNKNOWN* miniport, PUNKNOWN outerUnknown, POOL_TYPE poolType) override;
  VOID AttachMiniport(PUNKNOWN miniport) override;

  CMidiOutPipe* RenderSide;
  CMidiInputSide* CaptureSide;
};

class CMidiSubdevice {
 public:
  // Fills the name table, sets up the receiving side on `inputPipe` and
  // registers the subdevice as "Midi1-1". FALSE when the registration
  // failed.
  BOOLEAN Register(CMidiOutPipe* outputPipe, CMidiInPipe* inputPipe, PDEVICE_OBJECT deviceObject,
                   PIRP irp, PUNKNOWN adapter);

  CMidiSubdeviceSlot Slot;
  CMidiInputSide InputSide;
  WCHAR OutputNames[kMidiNamesPerKind][kMidiNameChars];
  WCHAR InputNames[kMidiNamesPerKind][kMidiNameChars];
  WCHAR Names[kMidiNamesPerKind][kMidiNameChars];
};
