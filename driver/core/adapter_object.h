// The adapter object the port-class framework holds for a unit from start
// to removal. It receives the device power changes, miniports ask it for
// IAdapterContext to find their unit, and its destruction (the framework's
// last release at removal) tears the unit down.
//
// PowerChangeState and the teardown run at PASSIVE_LEVEL. They take the
// USB device's PipeEvent (then a pipe spin lock) and the engine's attach
// lock, never both at once.
#pragma once

#include <wdm.h>
#include <portcls.h>
#include <stdunk.h>

class CDeviceContext;

DEFINE_GUID(IID_IAdapterContext, 0x3F61C2D8, 0x9A07, 0x4B3E, 0xA5, 0xC8, 0x71, 0xE2, 0xD0, 0xF9,
            0xB6, 0x4A);

struct IAdapterContext : IUnknown {
  // Binds the object to the context found in the device's extension.
  STDMETHOD_(NTSTATUS, Init)(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject) PURE;
  // The unit this adapter belongs to.
  STDMETHOD_(CDeviceContext*, DeviceContext)() PURE;
};
typedef IAdapterContext* PADAPTERCONTEXT;

inline constexpr ULONG kAdapterPoolTag = 'rCcP';  // "PcCr"

class CAdapterObject : public IAdapterContext, public IAdapterPowerManagement, public CUnknown {
 public:
  DECLARE_STD_UNKNOWN();
  DEFINE_STD_CONSTRUCTOR(CAdapterObject);
  ~CAdapterObject() override;

  STDMETHODIMP_(NTSTATUS) Init(PRESOURCELIST ResourceList, PDEVICE_OBJECT DeviceObject) override;
  STDMETHODIMP_(CDeviceContext*) DeviceContext() override { return Context; }
  IMP_IAdapterPowerManagement;

 private:
  VOID PowerUp();
  VOID PowerDown(DEVICE_POWER_STATE state);
  // The removal teardown; the context's last reference may go with it.
  VOID TearDownDevice();

  friend NTSTATUS RegisterPowerManagement(CDeviceContext*, PDEVICE_OBJECT, PIRP);

  CDeviceContext* Context;
  DEVICE_POWER_STATE PowerState;
};

// Creates the adapter object, binds it to the device's context, registers
// it for power management and stores its IAdapterContext in the context's
// PowerObject with one reference (StartDevice drops it). On failure nothing
// of the object is left and the context is untouched.
NTSTATUS RegisterPowerManagement(CDeviceContext* context, PDEVICE_OBJECT deviceObject,
                                 PIRP startRequest);
