// The USB side of one unit: descriptors, configuration, the bus interface
// and high-speed flag, the stream configuration parsed from the vendor rate
// descriptors, interface selection, the four pipe records, the MIDI pipes
// and the USB pipe worker that recovers them.
//
// Every operation here runs at PASSIVE_LEVEL and blocks on the USB stack.
// Locks: DeviceLock guards the stream configuration's service pair;
// PipeEvent (a synchronization event, signalled when free) serialises every
// MIDI pipe start, stop and interface 3 reselection and is taken before any
// pipe spin lock.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbbusif.h>

#include "driver/core/driver_state.h"
#include "driver/core/worker_thread.h"
#include "driver/engine/driver_state_service.h"
#include "driver/engine/latency.h"
#include "driver/usb/midi_pipes.h"
#include "driver/usb/pipe_record.h"

class CDeviceContext;
class CUsbDevice;

inline constexpr ULONG kStreamRates = 9;
// Rate bit n of the vendor rate mask is entry n + 1 of the rate tables.
inline constexpr ULONG kStreamRateHz[kStreamRates] = {32000,  44100,  48000,  88200, 96000,
                                                     176400, 192000, 352800, 384000};
inline constexpr ULONG kBusRate = 48000;
inline constexpr UCHAR kAudioOutInterface = 1;
inline constexpr UCHAR kAudioInInterface = 2;
inline constexpr UCHAR kMidiInterface = 3;
inline constexpr ULONG kInterfaceTableEntries = 16;
inline constexpr ULONG kMaxParsedAltSettings = 9;

struct STREAM_LAYOUT {
  UCHAR HasInput;
  UCHAR HasOutput;
  // Entry 0 for any other rate; entries 1..9 per rate bit. Both the
  // rate-supported flag and the alternate setting to select for the rate.
  UCHAR RateAltSettings[kStreamRates + 1];
  UCHAR OutputRateFlags[kStreamRates + 1];
  UCHAR InputRateFlags[kStreamRates + 1];
  USHORT OutputPacketSizes[kStreamRates];
  USHORT InputPacketSizes[kStreamRates];
};

// What ParseStreamingAltSetting found for one alternate setting.
struct ALT_SETTING_RECORD {
  ULONG Valid;
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR FormatType;
  UCHAR NrChannels;
  UCHAR BitResolution;
  UCHAR SamFreqType;
  ULONG FirstSamplingFrequency;
  UCHAR EndpointIn;
  ULONG Isochronous;
  USHORT MaxPacketSize;
  ULONG SamplingFrequency;
  USHORT RateMask;
};

struct INTERFACE_TABLE_ENTRY {
  PUSBD_INTERFACE_INFORMATION Information;
  ULONG Size;
};

// Told when the settings record was written (IOCTL_DEV_SET_SETTINGS).
class ISettingsChangeListener {
 public:
  virtual VOID OnSettingsChanged() = 0;

 protected:
  ~ISettingsChangeListener() = default;
};

// The listener the device carries: forwards to its owner's
// RequestAsioReset.
class CSettingsChangeForwarder : public ISettingsChangeListener {
 public:
  VOID OnSettingsChanged() override;
  CUsbDevice* Owner;
};

// The USB pipe worker: event 0 ends it, events 1 and 2 recover the MIDI
// output and input pipes. Its owner is the CUsbDevice.
inline constexpr ULONG kRecoverMidiOutEvent = 1;
inline constexpr ULONG kRecoverMidiInEvent = 2;

class CUsbPipeWorker : public CWorkerThread {
 protected:
  BOOLEAN OnEvent0() override;
  VOID OnEvent1() override;
  VOID OnEvent2() override;
};

class CUsbDevice {
 public:
  // Base construction; Initialize is the second phase, once the context
  // that embeds this object exists.
  CUsbDevice();
  virtual ~CUsbDevice() = default;
  VOID Initialize(CDeviceContext* context);

  // ---- Configuration (OpenDevice, removal) ----
  // The driver-wide settings, the service pair, the rates, the target of
  // USB requests.
  VOID Prepare(CDriverState* settings, PDEVICE_OBJECT lowerDeviceObject);
  BOOLEAN SelectConfiguration();
  VOID ReleaseConfiguration();
  VOID QueryBusInterface(PDEVICE_OBJECT target);
  BOOLEAN SelectInterfaces();
  VOID ParseStreamingInterfaces();
  ALT_SETTING_RECORD ParseStreamingAltSetting(UCHAR interfaceNumber, UCHAR alternateSetting) const;
  BOOLEAN SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting);
  BOOLEAN SetMidiAlternateSetting(ULONG alternateSetting);
  BOOLEAN BindPipe(CPipeRecord* record, UCHAR interfaceNumber, UCHAR fallbackAlternate);
  VOID RefreshPipe(CPipeRecord* record);
  BOOLEAN SelectRateAlternateSetting(CPipeRecord* record);
  VOID DeselectAlternateSetting(CPipeRecord* record);
  // The MIDI alternate setting the settings ask for: MidiInOverride when
  // enabled, else MidiInLite; non-zero counts as 1.
  ULONG RequestedMidiAltSetting() const;

  // ---- Single requests ----
  // STATUS_INSUFFICIENT_RESOURCES when the request cannot be built.
  NTSTATUS SubmitUrbSync(PURB urb);
  BOOLEAN IsPortConnected();
  BOOLEAN ResetPipe(CPipeRecord* record);
  // `buffer` is a zeroed work buffer of kControllerNameBufferBytes bytes.
  NTSTATUS GetControllerName(PVOID buffer);
  NTSTATUS SendVendorValue(USHORT value);

  // ---- Virtual operations (slot order) ----
  virtual VOID Reserved0() {}
  virtual VOID Reserved1() {}
  // Asks the ASIO driver to reset (group command 21), high speed only.
  virtual VOID RequestAsioReset();
  virtual VOID Reserved3() {}
  virtual VOID Reserved4() {}
  // Holding PipeEvent: restarts the MIDI pipes when the settings ask for
  // another MIDI alternate setting.
  virtual BOOLEAN ReapplyMidiSetting();

  // ---- Stream configuration block (the engine's streamConfig) ----
  // Points at SettingsForwarder.
  ISettingsChangeListener* SettingsChangeListener;
  KSPIN_LOCK DeviceLock;
  CDriverState* Settings;
  DRIVER_STATE_SERVICE StateService;
  PVOID StateServiceContext;
  ULONG HighSpeed;
  ULONG BusRate;
  ULONG EngineRate;
  ULONG RequestedRate;
  STREAM_LAYOUT StreamLayout;

  // Valid streaming alternate settings the parse found on interfaces 1
  // and 2 (it stops at the first invalid one, after at most 9).
  UCHAR ParsedAltSettings[2];
  INTERFACE_TABLE_ENTRY InterfaceTable[kInterfaceTableEntries];
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  ULONGLONG DeviceDescriptorLength;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  ULONG ConfigurationDescriptorLength;
  ULONG ConfigurationRequestedLength;
  PUSB_CONFIGURATION_DESCRIPTOR SelectedConfiguration;
  ULONG SelectedConfigurationLength;
  PDEVICE_OBJECT LowerDeviceObject;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USB_BUS_INTERFACE_USBDI_V1 BusInterface;
  USHORT SlotNumber;
  ULONG MidiAltSetting;
  CPipeRecord MidiOutPipe;
  CMidiInPipeRecord MidiInPipe;
  CPipeRecord AudioOutPipe;
  CPipeRecord AudioInPipe;
  TIMER_RESOLUTION_USERS TimerResolutionUsers;

  // ---- MIDI pipes and their worker ----
  KEVENT PipeEvent;
  CMidiOutPipe MidiOut;
  CMidiInPipe MidiIn;
  CUsbPipeWorker PipeWorker;
  CDeviceContext* Context;
  CSettingsChangeForwarder SettingsForwarder;

 private:
  // Replaces the interface's table entry with a copy of `bytes` of
  // `information`; on failure the entry is left empty.
  BOOLEAN StoreInterface(UCHAR interfaceNumber, const USBD_INTERFACE_INFORMATION* information, ULONG bytes);
  VOID FreeInterfaceTable();
  // Reads one descriptor of `type` into a new zeroed pool buffer of
  // `length` bytes; the bytes received in *received.
  PVOID ReadDescriptor(UCHAR type, ULONG length, ULONG* received);
  NTSTATUS SendInternalRequest(ULONG code, PVOID argument1, PVOID argument2);
};

inline constexpr ULONG kControllerNameBufferBytes = 2052;
inline constexpr ULONG kControllerNameMaxBytes = 2046;

// The MIDI pipes' start and stop around power changes and MIDI setting
// changes. Callers hold the device's PipeEvent.
BOOLEAN StartPipes(CUsbDevice* device);
VOID StopPipes(CUsbDevice* device);
