// The per-unit state block, allocated in one piece at device start. It
// embeds every per-device object of the driver: the USB device layer, the
// stream engine, the wave subdevice set, the tick timer and the control
// device block. Reference counted: one reference from a successful
// OpenDevice until removal, one per open handle of either device object.
//
// Its own fields are written only during construction, OpenDevice and
// teardown, which the framework does not overlap with I/O. ReferenceCount
// changes atomically; ControlRequestEvent (synchronization mode, signalled
// when free, PASSIVE_LEVEL) serialises control requests. The embedded
// objects carry their own locks.
#pragma once

#include <wdm.h>

#include "driver/core/settings_store.h"
#include "driver/engine/stream_engine.h"
#include "driver/usb/usb_device.h"
#include "driver/wdm/midi_subdevice.h"

struct IAdapterContext;

inline constexpr ULONG kMaxControlDevices = 4;
inline constexpr ULONG kControlNameChars = 260;
inline constexpr LONGLONG kTickDueTime = -8000;  // 0.8 ms relative

// The device state word.
enum DEVICE_STATE : LONG {
  DeviceConstructed = 0,
  DeviceWorking = 1,
  DeviceSystemWorking = 2,
  DevicePoweredDown = 3,
  DeviceSurpriseRemoved = 4,
  DeviceRemoved = 5,
};

class CDeviceContext;

struct TICK_TIMER {
  KTIMER Timer;
  KDPC Dpc;
  LARGE_INTEGER DueTime;
  LONG Enabled;
  CDeviceContext* Owner;
};

class CDeviceContext {
 public:
  CDeviceContext();
  virtual ~CDeviceContext() = default;
  // From the tick DPC (DISPATCH_LEVEL); elapsed in 100-ns units.
  virtual VOID OnTimerTick(ULONG elapsed);

  static void* operator new(size_t size, POOL_FLAGS flags, ULONG tag) noexcept;
  static void operator delete(void* block);
  static void operator delete(void* block, POOL_FLAGS, ULONG) { operator delete(block); }

  ULONGLONG LastTickTime;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;
  ULONG ControlIndex;
  CUsbDevice UsbDevice;
  CStreamEngine Engine;
  // The MIDI subdevice's slot, names and receiving side.
  CMidiSubdevice MidiSubdevice;
  // WaveSubdevices (the wave subdevice set) joins here with the wave
  // subdevices.
  TICK_TIMER TickTimer;
  USHORT ProductId;
  PDEVICE_OBJECT ControlDevice;
  WCHAR ControlDeviceName[kControlNameChars];
  WCHAR ControlLinkName[kControlNameChars];
  UNICODE_STRING DeviceName;
  UNICODE_STRING LinkName;
  IAdapterContext* PowerObject;
  LONG ReferenceCount;
  KEVENT ControlRequestEvent;
  // DEVICE_STATE; written at PASSIVE_LEVEL, read by the tick DPC too.
  LONG DeviceState;

  LONG State() const { return InterlockedCompareExchange(const_cast<LONG*>(&DeviceState), 0, 0); }
  VOID SetState(LONG state) { InterlockedExchange(&DeviceState, state); }
};

inline constexpr ULONG kDeviceContextTag = 'xCvM';

// Brings the USB device up and creates the control device; FALSE when the
// unit is not usable (the caller releases the configuration).
BOOLEAN OpenDevice(CDeviceContext* context);
// Drops one reference; the last one deletes the link and the control
// device and frees the context.
VOID ReleaseContext(CDeviceContext* context);

// Arms the one-shot 0.8 ms timer that each tick re-arms; TRUE (also when
// it already runs). Any IRQL up to DISPATCH_LEVEL.
BOOLEAN StartTickTimer(TICK_TIMER* timer);
// Stops the re-arming and returns once no tick routine runs any more.
// PASSIVE_LEVEL.
VOID StopTickTimer(TICK_TIMER* timer);

// Where the unit's settings live in the registry.
SETTINGS_LOCATION SettingsLocationOf(const CDeviceContext* context);
