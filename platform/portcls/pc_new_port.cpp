#include <portcls.h>

#include "platform/portcls/port_midi.h"
#include "platform/portcls/port_wavecyclic.h"

NTSTATUS NTAPI PcNewPort(PPORT* OutPort, REFCLSID ClassId) {
  if (!OutPort) return STATUS_INVALID_PARAMETER;
  *OutPort = nullptr;
  if (IsEqualGUID(ClassId, CLSID_PortWaveCyclic))
    return sim::portcls::PortWaveCyclic::Create(OutPort);
  if (IsEqualGUID(ClassId, CLSID_PortMidi)) return sim::portcls::PortMidi::Create(OutPort);
  return STATUS_NOT_SUPPORTED;
}
