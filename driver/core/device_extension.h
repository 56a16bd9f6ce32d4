// The driver's part of the two device extensions of a unit. The first 512
// bytes of each belong to the port-class framework (unused on the control
// device, which has the same layout so one dispatch routine serves both).
// The kind object tells the dispatch routine which device a request is for.
//
// Written at AddDevice, start and OpenDevice; read at PASSIVE_LEVEL by the
// dispatch routines. The framework does not overlap those.
#pragma once

#include <wdm.h>
#include <portcls.h>

class CDeviceContext;

class CDeviceKind {
 public:
  virtual ULONG IsControlDevice() const = 0;
  virtual ULONG IsPortClassDevice() const = 0;

  // The kind object lives inside a device extension.
  static void* operator new(size_t, void* where) noexcept { return where; }

 protected:
  ~CDeviceKind() = default;
};

class CFunctionalDeviceKind final : public CDeviceKind {
 public:
  ULONG IsControlDevice() const override { return 0; }
  ULONG IsPortClassDevice() const override { return 1; }
};

class CControlDeviceKind final : public CDeviceKind {
 public:
  ULONG IsControlDevice() const override { return 1; }
  ULONG IsPortClassDevice() const override { return 0; }
};

static_assert(sizeof(CFunctionalDeviceKind) == sizeof(CControlDeviceKind));

struct DEVICE_EXTENSION_HEADER {
  UCHAR FrameworkArea[PORT_CLASS_DEVICE_EXTENSION_SIZE];
  alignas(CFunctionalDeviceKind) UCHAR KindStorage[sizeof(CFunctionalDeviceKind)];
  CDeviceContext* Context;

  CDeviceKind* Kind() { return reinterpret_cast<CDeviceKind*>(KindStorage); }
};

// The functional device object's extension (PcAddAdapterDevice).
struct FUNCTIONAL_DEVICE_EXTENSION : DEVICE_EXTENSION_HEADER {
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
};

typedef DEVICE_EXTENSION_HEADER CONTROL_DEVICE_EXTENSION;

inline constexpr ULONG kFunctionalExtensionSize = sizeof(FUNCTIONAL_DEVICE_EXTENSION);
inline constexpr ULONG kControlExtensionSize = sizeof(CONTROL_DEVICE_EXTENSION);
static_assert(sizeof(void*) != 8 || kFunctionalExtensionSize == 544);
static_assert(sizeof(void*) != 8 || kControlExtensionSize == 528);

inline DEVICE_EXTENSION_HEADER* ExtensionOf(PDEVICE_OBJECT device) {
  return device ? static_cast<DEVICE_EXTENSION_HEADER*>(device->DeviceExtension) : nullptr;
}
inline FUNCTIONAL_DEVICE_EXTENSION* FunctionalExtensionOf(PDEVICE_OBJECT device) {
  return device ? static_cast<FUNCTIONAL_DEVICE_EXTENSION*>(device->DeviceExtension) : nullptr;
}
