#include "driver/usb/usb_device.h"

#include "driver/core/driver_globals.h"
#include "driver/engine/asio_group.h"

CUsbDevice::CUsbDevice()
    : SettingsChangeListener(&SettingsForwarder),
      Settings(nullptr),
      StateService(nullptr),
      StateServiceContext(nullptr),
      HighSpeed(0),
      BusRate(CAsioGroup::kInitialSampleRate),
      EngineRate(CAsioGroup::kInitialSampleRate),
      RequestedRate(CAsioGroup::kInitialSampleRate),
      StreamLayout(),
      ParsedAltSettings(),
      InterfaceTable(),
      DeviceDescriptor(nullptr),
      DeviceDescriptorLength(0),
      ConfigurationDescriptor(nullptr),
      ConfigurationDescriptorLength(0),
      ConfigurationRequestedLength(0),
      SelectedConfiguration(nullptr),
      SelectedConfigurationLength(0),
      LowerDeviceObject(nullptr),
      ConfigurationHandle(nullptr),
      BusInterface(),
      SlotNumber(0),
      MidiAltSetting(0),
      Context(nullptr) {
  KeInitializeSpinLock(&DeviceLock);
  KeInitializeEvent(&PipeEvent, SynchronizationEvent, TRUE);
  InitializeTimerResolutionUsers(&TimerResolutionUsers);
  SettingsForwarder.Owner = this;
  PipeWorker.Initialize(this);
  MidiOut.Setup(this, &MidiOutPipe, nullptr);
  MidiIn.Setup(this, &MidiInPipe, nullptr);
}

VOID CUsbDevice::Initialize(CDeviceContext* context) { Context = context; }

VOID CUsbDevice::Prepare(CDriverState* settings, PDEVICE_OBJECT lowerDeviceObject) {
  Settings = settings;
  KIRQL irql;
  KeAcquireSpinLock(&DeviceLock, &irql);
  StateService = DriverStateService;
  StateServiceContext = settings;
  KeReleaseSpinLock(&DeviceLock, irql);
  HighSpeed = 0;
  BusRate = CAsioGroup::kInitialSampleRate;
  EngineRate = CAsioGroup::kInitialSampleRate;
  RequestedRate = CAsioGroup::kInitialSampleRate;
  LowerDeviceObject = lowerDeviceObject;
}

ULONG CUsbDevice::RequestedMidiAltSetting() const {
  if (Settings == nullptr) {
    return 0;
  }
  const SETTINGS_RECORD& active = Settings->Active;
  const ULONG value = active.MidiInOverride.Enable ? active.MidiInOverride.Value : active.MidiInLite;
  return value != 0 ? 1 : 0;
}

VOID CUsbDevice::RequestAsioReset() {
  if (!HighSpeed) {
    return;
  }
  CAsioGroup* group = DriverAsioGroup();
  if (group == nullptr) {
    return;
  }
  KIRQL irql;
  KeAcquireSpinLock(&group->Lock, &irql);
  AsioGroupService(group, AgRequestReset, 0, 0, 0);
  KeReleaseSpinLock(&group->Lock, irql);
}

BOOLEAN CUsbDevice::ReapplyMidiSetting() {
  // A full-speed unit has no MIDI pipes to restart.
  if (!HighSpeed) {
    return TRUE;
  }
  KeWaitForSingleObject(&PipeEvent, Executive, KernelMode, FALSE, nullptr);
  BOOLEAN result = TRUE;
  if (RequestedMidiAltSetting() != MidiAltSetting) {
    StopPipes(this);
    result = StartPipes(this);
  }
  KeSetEvent(&PipeEvent, IO_NO_INCREMENT, FALSE);
  return result;
}

VOID CSettingsChangeForwarder::OnSettingsChanged() { Owner->RequestAsioReset(); }

BOOLEAN CUsbPipeWorker::OnEvent0() { return FALSE; }

VOID CUsbPipeWorker::OnEvent1() { static_cast<CUsbDevice*>(Owner())->MidiOut.Recover(); }

VOID CUsbPipeWorker::OnEvent2() { static_cast<CUsbDevice*>(Owner())->MidiIn.Recover(); }

BOOLEAN StartPipes(CUsbDevice* device) {
  const ULONG alternate = device->RequestedMidiAltSetting();
  if (alternate != device->MidiAltSetting && device->SetMidiAlternateSetting(alternate)) {
    device->RefreshPipe(&device->MidiOutPipe);
    device->RefreshPipe(&device->MidiInPipe);
  }

  CMidiOutPipe& out = device->MidiOut;
  out.LockPipe();
  out.PipeState = MidiPipeRunning;
  if (!out.QueueEmpty() && !out.InFlight()) {
    out.Pump();
  }
  out.UnlockPipe();

  device->MidiIn.StartPipe();
  device->PipeWorker.Start();
  return TRUE;
}

VOID StopPipes(CUsbDevice* device) {
  device->PipeWorker.Stop();
  CMidiOutPipe& out = device->MidiOut;
  out.LockPipe();
  out.PipeState = MidiPipeStopped;
  out.UnlockPipe();
  out.StopAndResetPipe();
  device->MidiIn.StopAndResetPipe();
}
