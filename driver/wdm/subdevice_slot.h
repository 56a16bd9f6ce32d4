// One port-class subdevice that can be registered under a name and
// unregistered again: the wave subdevices and the MIDI subdevice each have
// one. A slot knows how to make its miniport and what to give it; the
// registration steps around that are common.
//
// Registration and unregistration run at PASSIVE_LEVEL, from device start
// and from the rate-change path, which never overlap for one slot; the slot
// has no lock of its own.
#pragma once

#include <wdm.h>
#include <portcls.h>

class CSubdeviceSlot {
 public:
  // Operations in table order. CreateMiniport returns the new miniport's
  // IUnknown with one reference; AttachMiniport hands it what the slot
  // holds before the port initialises it.
  virtual NTSTATUS CreateMiniport(PUNKNOWN* miniport, PUNKNOWN outerUnknown,
                                  POOL_TYPE poolType) = 0;
  virtual VOID AttachMiniport(PUNKNOWN miniport) = 0;
  // The port's IUnknown kept by a registration that asked for it, else null.
  virtual PUNKNOWN GetPortReference() { return PortReference; }
  // FALSE when nothing is registered or the port cannot be asked to let go.
  virtual BOOLEAN Unregister(PDEVICE_OBJECT deviceObject);

  BOOLEAN IsRegistered() const { return Port != nullptr; }
  BOOLEAN HasFailed() const { return Failed != 0; }
  // Back to free: nothing registered, not failed. For a slot that is about
  // to be set up for a new registration pass.
  VOID Clear();

  // Set by RegisterSubdevice; null while not registered.
  PPORT Port;
  // The miniport's IUnknown, only while a registration runs.
  PUNKNOWN Miniport;
  PUNKNOWN PortReference;
  // A registration failed after the port was created. The port's own
  // reference went with the failure, so the slot holds no pointer to it;
  // later registrations and unregistrations leave the slot alone.
  LONG Failed;

 protected:
  CSubdeviceSlot() : Port(nullptr), Miniport(nullptr), PortReference(nullptr), Failed(0) {}
  ~CSubdeviceSlot() = default;
};

// Creates a port of `portClass`, its miniport through the slot, initialises
// the port and registers it under `name`. With `keepPortReference` the
// slot keeps the port's IUnknown until Unregister. FALSE when the slot is
// registered or failed already, or when any step fails.
BOOLEAN RegisterSubdevice(CSubdeviceSlot* slot, PDEVICE_OBJECT deviceObject, PIRP irp, PWSTR name,
                          REFCLSID portClass, PUNKNOWN adapter, BOOLEAN keepPortReference);
