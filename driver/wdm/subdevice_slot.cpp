#include "driver/wdm/subdevice_slot.h"

// Miniports live in non-paged, no-execute pool.
inline constexpr POOL_TYPE kMiniportPool = NonPagedPoolNx;

VOID CSubdeviceSlot::Clear() {
  Port = nullptr;
  Miniport = nullptr;
  PortReference = nullptr;
  Failed = 0;
}

BOOLEAN RegisterSubdevice(CSubdeviceSlot* slot, PDEVICE_OBJECT deviceObject, PIRP irp, PWSTR name,
                          REFCLSID portClass, PUNKNOWN adapter, BOOLEAN keepPortReference) {
  if (slot->Port || slot->Failed) {
    return FALSE;
  }
  PPORT port = nullptr;
  NTSTATUS status = PcNewPort(&port, portClass);
  if (!NT_SUCCESS(status) || !port) {
    slot->Port = nullptr;
    return FALSE;
  }
  PUNKNOWN miniport = nullptr;
  status = slot->CreateMiniport(&miniport, nullptr, kMiniportPool);
  if (NT_SUCCESS(status)) {
    slot->Miniport = miniport;
    slot->AttachMiniport(miniport);
    status = port->Init(deviceObject, irp, miniport, adapter, nullptr);
    if (NT_SUCCESS(status)) {
      status = PcRegisterSubdevice(deviceObject, name, port);
    }
    miniport->Release();
    slot->Miniport = nullptr;
  }
  if (NT_SUCCESS(status) && keepPortReference) {
    PUNKNOWN reference = nullptr;
    if (NT_SUCCESS(port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID*>(&reference)))) {
      slot->PortReference = reference;
    }
  }
  // A registered port lives on through its registration until Unregister.
  port->Release();
  if (NT_SUCCESS(status)) {
    slot->Port = port;
    return TRUE;
  }
  slot->Failed = 1;
  return FALSE;
}

BOOLEAN CSubdeviceSlot::Unregister(PDEVICE_OBJECT deviceObject) {
  if (!Port || Failed) {
    return FALSE;
  }
  PUNREGISTERSUBDEVICE unregister = nullptr;
  NTSTATUS status =
      Port->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister));
  if (!NT_SUCCESS(status) || !unregister) {
    return FALSE;
  }
  if (PortReference) {
    PortReference->Release();
    PortReference = nullptr;
  }
  status = unregister->UnregisterSubdevice(deviceObject, Port);
  unregister->Release();
  Port = nullptr;
  Miniport = nullptr;
  return NT_SUCCESS(status);
}
