// The USB-device group: facts about the unit and its connection, and the
// driver-wide settings record that user mode reads and writes.

#include <usb.h>
#include <usbioctl.h>

#include "common/control_codes.h"
#include "common/settings_record.h"
#include "driver/control/control_groups.h"
#include "driver/core/device_context.h"
#include "driver/core/settings_store.h"
#include "driver/usb/usb_device.h"

namespace {

constexpr ULONG kControllerNameTag = 'nHvM';
// Room for the value's data after the partial-information header: the
// record's 243 bytes.
constexpr ULONG kInfPathQueryBytes = 255;
constexpr ULONG kSettingsResultOffset = sizeof(SETTINGS_RECORD);  // +336
constexpr WCHAR kNoHostName[] = u"NoHostName";
constexpr ULONG kNoHostNameBytes = sizeof(kNoHostName) - sizeof(WCHAR);  // 20, without terminator
// The status of a name request whose work buffer could not be allocated.
constexpr NTSTATUS kNoWorkBuffer = static_cast<NTSTATUS>(0xFFFFFFFF);

VOID PutUlong(const CONTROL_REQUEST& request, ULONG offset, ULONG value) {
  RtlCopyMemory(request.Buffer + offset, &value, sizeof(value));
}

CDeviceContext* ContextOf(CUsbDevice* device) { return device->Context; }

NTSTATUS GetInfPath(CUsbDevice* device, const CONTROL_REQUEST& request) {
  HANDLE key = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(ContextOf(device)->PhysicalDeviceObject,
                                            PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key);
  if (!NT_SUCCESS(status)) return STATUS_INVALID_HANDLE;

  // ULONG storage keeps the header aligned; only 255 bytes are offered.
  ULONG storage[(kInfPathQueryBytes + sizeof(ULONG) - 1) / sizeof(ULONG)] = {};
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(storage);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"InfPath");
  ULONG resultLength = 0;
  status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, kInfPathQueryBytes,
                           &resultLength);
  ZwClose(key);
  // A value that does not fit the query buffer counts as unreadable.
  if (status != STATUS_SUCCESS) return STATUS_INVALID_HANDLE;
  // The router guarantees the full record, which holds any value the query
  // buffer does; check anyway, since the copy must not leave the record.
  if (request.OutputLength < sizeof(ULONG) || info->DataLength > request.OutputLength - sizeof(ULONG))
    return STATUS_BUFFER_TOO_SMALL;
  RtlCopyMemory(request.Buffer + sizeof(ULONG), info->Data, info->DataLength);
  return STATUS_SUCCESS;
}

ULONG IsStreamingActive(CUsbDevice* device) {
  if (!device->HighSpeed) return 0;
  return ReadNoFence(&device->MidiOut.OpenStreams) != 0 ||
                 ReadNoFence(&device->MidiIn.OpenStreams) != 0 ||
                 ReadNoFence(&ContextOf(device)->Engine.RunMode) != 0
             ? 1
             : 0;
}

// Record: +4 the name's length in bytes, +8 the name and a 16-bit zero.
// A name longer than the record's 2046 bytes is cut there; a request the
// USB stack refuses reports "NoHostName".
NTSTATUS GetHostControllerName(CUsbDevice* device, const CONTROL_REQUEST& request) {
  auto* work = static_cast<PUSB_HUB_NAME>(
      ExAllocatePool2(POOL_FLAG_NON_PAGED, kControllerNameBufferBytes, kControllerNameTag));
  if (work == nullptr) return kNoWorkBuffer;

  PUCHAR name = request.Buffer + 8;
  const NTSTATUS status = device->GetControllerName(work);
  ULONG length;
  if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
    length = work->ActualLength;
    const ULONG held = kControllerNameBufferBytes - FIELD_OFFSET(USB_HUB_NAME, HubName);
    if (length > held) length = held;
    if (length > kControllerNameMaxBytes) length = kControllerNameMaxBytes;
    length &= ~static_cast<ULONG>(sizeof(WCHAR) - 1);
    RtlCopyMemory(name, work->HubName, length);
  } else {
    length = kNoHostNameBytes;
    RtlCopyMemory(name, kNoHostName, length);
  }
  RtlZeroMemory(name + length, sizeof(WCHAR));
  PutUlong(request, 4, length);
  ExFreePoolWithTag(work, kControllerNameTag);
  return STATUS_SUCCESS;
}

// The six steps of a settings write: Pending takes the record; Active takes
// its committed part only while no stream runs; the change flags go back to
// the caller; the ASIO driver hears of the change; the registry is written;
// and, when nothing waits to take effect, the MIDI setting is applied.
NTSTATUS SetSettings(CUsbDevice* device, const CONTROL_REQUEST& request) {
  CDriverState* settings = device->Settings;
  RtlCopyMemory(&settings->Pending, request.Buffer, sizeof(SETTINGS_RECORD));

  KIRQL irql;
  KeAcquireSpinLock(&settings->SettingsLock, &irql);
  const LONG activeStreams = settings->ActiveStreamCount;
  KeReleaseSpinLock(&settings->SettingsLock, irql);
  if (activeStreams <= 0) RtlCopyMemory(&settings->Active, &settings->Pending, kSettingsCommitBytes);

  const ULONG flags = SettingsChangeFlags(settings->Active, settings->Pending);
  if (device->SettingsChangeListener != nullptr) device->SettingsChangeListener->OnSettingsChanged();
  PutUlong(request, kSettingsResultOffset, flags);
  SaveSettings(*settings, SettingsLocationOf(ContextOf(device)));
  if (flags == 0) device->ReapplyMidiSetting();
  return STATUS_SUCCESS;
}

// Four BCD digits as a decimal number. A nibble above 9 is not a decimal
// digit; it keeps its value at its place (0x00A0 gives 100), so the result
// still grows with the version.
ULONG BcdToDecimal(USHORT bcd) {
  return ((bcd >> 12) & 0xF) * 1000 + ((bcd >> 8) & 0xF) * 100 + ((bcd >> 4) & 0xF) * 10 +
         (bcd & 0xF);
}

USHORT FirmwareVersion(const CUsbDevice* device) {
  return device->DeviceDescriptor != nullptr ? device->DeviceDescriptor->bcdDevice : 0;
}

}  // namespace

NTSTATUS HandleUsbDeviceRequest(CUsbDevice* device, const CONTROL_REQUEST& request) {
  const CDriverState* settings = device->Settings;
  switch (request.Code) {
    case IOCTL_DEV_GET_INF_PATH:
      return GetInfPath(device, request);
    case IOCTL_DEV_GET_STREAMING_ACTIVE:
      PutUlong(request, 0, IsStreamingActive(device));
      return STATUS_SUCCESS;
    case IOCTL_DEV_GET_HOST_CONTROLLER_NAME:
      return GetHostControllerName(device, request);
    case IOCTL_DEV_GET_CHANNEL_COUNTS: {
      PutUlong(request, 0, 1);
      const USHORT counts = 0x0A04;  // 4 outputs, 10 inputs
      RtlCopyMemory(request.Buffer + 4, &counts, sizeof(counts));
      return STATUS_SUCCESS;
    }
    case IOCTL_DEV_IS_HIGH_SPEED:
      PutUlong(request, 0, device->HighSpeed);
      return STATUS_SUCCESS;
    case IOCTL_DEV_GET_RESERVED:
      PutUlong(request, 0, 0);
      return STATUS_SUCCESS;
    case IOCTL_DEV_GET_SETTINGS:
      RtlCopyMemory(request.Buffer, &settings->Pending, sizeof(SETTINGS_RECORD));
      PutUlong(request, kSettingsResultOffset, 1);
      return STATUS_SUCCESS;
    case IOCTL_DEV_SET_SETTINGS:
      return SetSettings(device, request);
    case IOCTL_DEV_GET_SETTINGS_CHANGE_FLAGS:
      PutUlong(request, 0, SettingsChangeFlags(settings->Active, settings->Pending));
      return STATUS_SUCCESS;
    case IOCTL_DEV_GET_FIRMWARE_VERSION:
      PutUlong(request, 0, FirmwareVersion(device));
      return STATUS_SUCCESS;
    case IOCTL_DEV_GET_FIRMWARE_VERSION_DECIMAL:
      PutUlong(request, 0, BcdToDecimal(FirmwareVersion(device)));
      return STATUS_SUCCESS;
    case IOCTL_DEV_SET_OPTION:  // answered by nobody; keeps nothing
    default:
      return STATUS_INVALID_PARAMETER;
  }
}
