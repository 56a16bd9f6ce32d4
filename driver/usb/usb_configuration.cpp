// Configuration, the bus interface, interface selection and the binding of
// the pipe records. PASSIVE_LEVEL; callers serialise them (OpenDevice, the
// pipe event, the engine worker).
#include <usbdlib.h>

#include "driver/usb/usb_device.h"

namespace {

constexpr ULONG kConfigurationHeaderBytes = 136;
constexpr USHORT kQueryInterfaceSize = sizeof(USB_BUS_INTERFACE_USBDI_V1);

// The interface information as the select URB carries it: 48 bytes per
// endpoint and 208 more, the information filling all but the first 32.
constexpr ULONG SelectInterfaceUrbBytes(ULONG endpoints) { return 48 * endpoints + 208; }
// What the table keeps of the returned information: its header and pipes,
// and never less than one pipe entry (zero for a setting without one).
constexpr ULONG KeptInterfaceBytes(ULONG endpoints) { return 24 * (endpoints + 1) + 16; }

NTSTATUS NTAPI SignalQueryDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID ClearPipe(CPipeRecord* record) {
  record->PipeHandle = nullptr;
  record->MaximumPacketSize = 0;
  record->EndpointAddress = 0;
  record->Interval = 0;
  record->PipeType = UsbdPipeTypeControl;
}

}  // namespace

PVOID CUsbDevice::ReadDescriptor(UCHAR type, ULONG length, ULONG* received) {
  PVOID buffer = ExAllocatePool2(POOL_FLAG_NON_PAGED, length, kUsbPoolTag);
  if (buffer == nullptr) {
    return nullptr;
  }
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer,
                               nullptr, length, nullptr);
  const NTSTATUS status = SubmitUrbSync(&urb);
  if (!NT_SUCCESS(status) || !USBD_SUCCESS(urb.UrbHeader.Status)) {
    ExFreePoolWithTag(buffer, kUsbPoolTag);
    return nullptr;
  }
  *received = urb.UrbControlDescriptorRequest.TransferBufferLength;
  return buffer;
}

BOOLEAN CUsbDevice::SelectConfiguration() {
  ULONG received = 0;
  DeviceDescriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
      ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, sizeof(USB_DEVICE_DESCRIPTOR), &received));
  if (DeviceDescriptor == nullptr) {
    return FALSE;
  }
  DeviceDescriptorLength = sizeof(USB_DEVICE_DESCRIPTOR);

  auto* header = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
      ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, kConfigurationHeaderBytes, &received));
  ULONG total = 0;
  if (header != nullptr) {
    total = received >= sizeof(USB_CONFIGURATION_DESCRIPTOR) ? header->wTotalLength : 0;
    ExFreePoolWithTag(header, kUsbPoolTag);
  }
  // A total shorter than the configuration descriptor itself describes
  // nothing we could select.
  if (total >= sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
    ConfigurationDescriptor = static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(
        ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, total, &received));
  }
  if (ConfigurationDescriptor == nullptr) {
    ExFreePoolWithTag(DeviceDescriptor, kUsbPoolTag);
    DeviceDescriptor = nullptr;
    DeviceDescriptorLength = 0;
    return FALSE;
  }
  ConfigurationRequestedLength = total;
  // Parsing stays inside what the unit actually sent, and the USBD parsers
  // inside the buffer: a total that grew between the two reads is cut back.
  ConfigurationDescriptorLength = received < total ? received : total;
  if (ConfigurationDescriptor->wTotalLength > total) {
    ConfigurationDescriptor->wTotalLength = static_cast<USHORT>(total);
  }

  USHORT size = 0;
  PURB urb = USBD_CreateConfigurationRequest(ConfigurationDescriptor, &size);
  if (urb == nullptr) {
    return FALSE;
  }
  const NTSTATUS status = SubmitUrbSync(urb);
  const BOOLEAN selected = NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status);
  if (selected) {
    ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    SelectedConfiguration = ConfigurationDescriptor;
    SelectedConfigurationLength = ConfigurationDescriptor->wTotalLength;
  }
  ExFreePool(urb);
  return selected;
}

VOID CUsbDevice::FreeInterfaceTable() {
  for (INTERFACE_TABLE_ENTRY& entry : InterfaceTable) {
    if (entry.Information != nullptr) {
      ExFreePoolWithTag(entry.Information, kUsbPoolTag);
    }
    entry.Information = nullptr;
    entry.Size = 0;
  }
}

VOID CUsbDevice::ReleaseConfiguration() {
  if (ConfigurationDescriptor != nullptr) {
    URB urb;
    RtlZeroMemory(&urb, sizeof(urb));
    UsbBuildSelectConfigurationRequest(&urb, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    SubmitUrbSync(&urb);
    SelectedConfiguration = nullptr;
    SelectedConfigurationLength = 0;
  }
  // Every entry, not only those below bNumInterfaces: a table entry never
  // outlives the configuration it came from.
  FreeInterfaceTable();
  if (DeviceDescriptor != nullptr) {
    ExFreePoolWithTag(DeviceDescriptor, kUsbPoolTag);
    DeviceDescriptor = nullptr;
  }
  DeviceDescriptorLength = 0;
  if (ConfigurationDescriptor != nullptr) {
    ExFreePoolWithTag(ConfigurationDescriptor, kUsbPoolTag);
    ConfigurationDescriptor = nullptr;
  }
  ConfigurationDescriptorLength = 0;
  ConfigurationRequestedLength = 0;
  ConfigurationHandle = nullptr;
  // The reference the bus took for us goes with the configuration. The
  // functions stay: the bus context lives as long as the unit's device.
  if (BusInterface.InterfaceDereference != nullptr) {
    BusInterface.InterfaceDereference(BusInterface.BusContext);
    BusInterface.InterfaceDereference = nullptr;
  }
}

VOID CUsbDevice::QueryBusInterface(PDEVICE_OBJECT target) {
  if (target == nullptr) {
    return;
  }
  PIRP request = IoAllocateIrp(target->StackSize, FALSE);
  if (request == nullptr) {
    return;
  }
  request->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = kQueryInterfaceSize;
  next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&BusInterface);
  next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
  IoSetCompletionRoutine(request, SignalQueryDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(target, request) == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  // A version 0 answer has no IsDeviceHighSpeed: such a bus is not
  // treated as high speed.
  if (NT_SUCCESS(request->IoStatus.Status) && BusInterface.Version >= USB_BUSIF_USBDI_VERSION_1 &&
      BusInterface.IsDeviceHighSpeed != nullptr) {
    HighSpeed = BusInterface.IsDeviceHighSpeed(BusInterface.BusContext) ? 1 : 0;
  }
  IoFreeIrp(request);
}

BOOLEAN CUsbDevice::SelectInterfaces() {
  if (!HighSpeed) {
    return TRUE;
  }
  BusRate = kBusRate;
  EngineRate = kBusRate;
  RequestedRate = kBusRate;
  ParseStreamingInterfaces();
  MidiAltSetting = RequestedMidiAltSetting();
  return SelectAlternateSetting(kMidiInterface, static_cast<UCHAR>(MidiAltSetting));
}

BOOLEAN CUsbDevice::StoreInterface(UCHAR interfaceNumber, const USBD_INTERFACE_INFORMATION* information,
                                   ULONG bytes) {
  INTERFACE_TABLE_ENTRY& entry = InterfaceTable[interfaceNumber];
  if (entry.Information != nullptr) {
    ExFreePoolWithTag(entry.Information, kUsbPoolTag);
    entry.Information = nullptr;
    entry.Size = 0;
  }
  auto* copy = static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kUsbPoolTag));
  if (copy == nullptr) {
    return FALSE;
  }
  RtlCopyMemory(copy, information, bytes);
  entry.Information = copy;
  entry.Size = bytes;
  return TRUE;
}

BOOLEAN CUsbDevice::SelectAlternateSetting(UCHAR interfaceNumber, UCHAR alternateSetting) {
  if (SelectedConfiguration == nullptr || interfaceNumber >= kInterfaceTableEntries) {
    return FALSE;
  }
  PUSB_INTERFACE_DESCRIPTOR descriptor =
      USBD_ParseConfigurationDescriptor(SelectedConfiguration, interfaceNumber, alternateSetting);
  if (descriptor == nullptr) {
    return FALSE;
  }
  const ULONG endpoints = descriptor->bNumEndpoints;
  const ULONG urbBytes = SelectInterfaceUrbBytes(endpoints);
  auto* urb = static_cast<PURB>(ExAllocatePool2(POOL_FLAG_NON_PAGED, urbBytes, kUsbPoolTag));
  if (urb == nullptr) {
    return FALSE;
  }
  UsbBuildSelectInterfaceRequest(urb, static_cast<USHORT>(urbBytes), ConfigurationHandle, interfaceNumber,
                                 alternateSetting);
  PUSBD_INTERFACE_INFORMATION information = &urb->UrbSelectInterface.Interface;
  for (ULONG i = 0; i < endpoints; ++i) {
    information->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    information->Pipes[i].PipeFlags = 0;
  }
  const NTSTATUS status = SubmitUrbSync(urb);
  BOOLEAN selected = NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status);
  if (selected) {
    // The old entry's handles died with the selection, stored or not.
    selected = StoreInterface(interfaceNumber, information, KeptInterfaceBytes(endpoints));
  }
  ExFreePoolWithTag(urb, kUsbPoolTag);
  return selected;
}

BOOLEAN CUsbDevice::SetMidiAlternateSetting(ULONG alternateSetting) {
  if (!HighSpeed || alternateSetting == MidiAltSetting) {
    return TRUE;
  }
  if (!SelectAlternateSetting(kMidiInterface, static_cast<UCHAR>(alternateSetting))) {
    return FALSE;
  }
  MidiAltSetting = alternateSetting;
  return TRUE;
}

VOID CUsbDevice::RefreshPipe(CPipeRecord* record) {
  if (record->InterfaceNumber >= kInterfaceTableEntries) {
    return;
  }
  const INTERFACE_TABLE_ENTRY& entry = InterfaceTable[record->InterfaceNumber];
  const PUSBD_INTERFACE_INFORMATION information = entry.Information;
  const ULONG index = record->PipeIndex();
  // An alternate setting without bandwidth has no pipes: the record keeps
  // no handle until the streaming setting is selected.
  if (information == nullptr || index >= information->NumberOfPipes ||
      offsetof(USBD_INTERFACE_INFORMATION, Pipes) + (index + 1) * sizeof(USBD_PIPE_INFORMATION) > entry.Size) {
    ClearPipe(record);
    return;
  }
  const USBD_PIPE_INFORMATION& pipe = information->Pipes[index];
  record->PipeHandle = pipe.PipeHandle;
  record->MaximumPacketSize = pipe.MaximumPacketSize;
  record->EndpointAddress = pipe.EndpointAddress;
  record->Interval = pipe.Interval;
  record->PipeType = pipe.PipeType;
}

BOOLEAN CUsbDevice::BindPipe(CPipeRecord* record, UCHAR interfaceNumber, UCHAR fallbackAlternate) {
  if (interfaceNumber >= kInterfaceTableEntries) {
    return FALSE;
  }
  if (InterfaceTable[interfaceNumber].Information == nullptr &&
      (!SelectAlternateSetting(interfaceNumber, fallbackAlternate) ||
       InterfaceTable[interfaceNumber].Information == nullptr)) {
    return FALSE;
  }
  record->Owner = this;
  record->InterfaceNumber = interfaceNumber;
  RefreshPipe(record);
  return TRUE;
}

BOOLEAN CUsbDevice::SelectRateAlternateSetting(CPipeRecord* record) {
  ULONG entry = 0;
  for (ULONG i = 0; i < kStreamRates; ++i) {
    if (kStreamRateHz[i] == EngineRate) {
      entry = i + 1;
    }
  }
  const BOOLEAN selected = SelectAlternateSetting(record->InterfaceNumber, StreamLayout.RateAltSettings[entry]);
  record->RateSettingSelected = selected;
  return selected;
}

VOID CUsbDevice::DeselectAlternateSetting(CPipeRecord* record) {
  if (record->RateSettingSelected) {
    SelectAlternateSetting(record->InterfaceNumber, StreamLayout.RateAltSettings[0]);
    record->RateSettingSelected = FALSE;
  }
}
