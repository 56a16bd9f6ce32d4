#include "driver/wdm/midi_subdevice.h"

#include <ntstrsafe.h>

#include "driver/wdm/midi_miniport.h"

NTSTATUS CMidiSubdeviceSlot::CreateMiniport(PUNKNOWN* miniport, PUNKNOWN outerUnknown,
                                            POOL_TYPE poolType) {
  *miniport = nullptr;
  auto* created = new (poolType, kMidiMiniportPoolTag) CMidiMiniport(outerUnknown);
  if (!created) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  created->NonDelegatingAddRef();
  *miniport = static_cast<PUNKNOWN>(static_cast<PMINIPORTMIDI>(created));
  return STATUS_SUCCESS;
}

VOID CMidiSubdeviceSlot::AttachMiniport(PUNKNOWN miniport) {
  CMidiMiniport::FromUnknown(miniport)->SetSlot(this);
}

BOOLEAN CMidiSubdevice::Register(CMidiOutPipe* outputPipe, CMidiInPipe* inputPipe,
                                 PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN adapter) {
  for (ULONG k = 0; k < kMidiNamesPerKind; ++k) {
    RtlStringCchPrintfW(OutputNames[k], kMidiNameChars, TEXT("MidiOut%d-%d"), 1, int(k + 1));
    RtlStringCchPrintfW(InputNames[k], kMidiNameChars, TEXT("MidiIn%d-%d"), 1, int(k + 1));
    RtlStringCchPrintfW(Names[k], kMidiNameChars, TEXT("Midi%d-%d"), 1, int(k + 1));
  }
  InputSide.Setup(inputPipe);
  Slot.Clear();
  Slot.RenderSide = outputPipe;
  Slot.CaptureSide = &InputSide;
  return RegisterSubdevice(&Slot, deviceObject, irp, Names[0], CLSID_PortMidi, adapter, FALSE);
}
