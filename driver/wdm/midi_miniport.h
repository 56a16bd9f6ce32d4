// The MIDI subdevice's miniport: reports the filter for the slot's
// directions and opens up to four output and four input streams.
//
// Init, NewStream and destruction run at PASSIVE_LEVEL. NotifyPort may be
// called up to DISPATCH_LEVEL with any pipe lock held (the port only queues
// its service). The fields are written by Init and destruction only.
#pragma once

#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>

#include "driver/core/adapter_object.h"

class CMidiSubdeviceSlot;

inline constexpr ULONG kMidiMiniportPoolTag = 'rCcP';  // "PcCr"

class CMidiMiniport : public IMiniportMidi, public CUnknown {
 public:
  DECLARE_STD_UNKNOWN();
  DEFINE_STD_CONSTRUCTOR(CMidiMiniport);
  ~CMidiMiniport() override;
  IMP_IMiniportMidi;

  // The miniport behind the IUnknown its slot created.
  static CMidiMiniport* FromUnknown(PUNKNOWN unknown) {
    return static_cast<CMidiMiniport*>(static_cast<PMINIPORTMIDI>(unknown));
  }
  VOID SetSlot(CMidiSubdeviceSlot* slot) { Slot = slot; }
  CMidiSubdeviceSlot* SubdeviceSlot() const { return Slot; }
  // Tells the port that input is waiting.
  VOID NotifyPort();

 private:
  PPORTMIDI Port;
  PSERVICEGROUP ServiceGroup;
  PADAPTERCONTEXT AdapterContext;
  CMidiSubdeviceSlot* Slot;
};
