// USBD library routines: walking descriptor sets and building the
// select-configuration request. Runs at PASSIVE_LEVEL or DISPATCH_LEVEL.
#include <usbdlib.h>
#include <wdm.h>

namespace {

// 'USBD' as it reads in a pool dump.
constexpr ULONG kUsbdPoolTag = 'U' | 'S' << 8 | 'B' << 16 | 'D' << 24;

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == actual; }

ULONG InterfaceInformationSize(const USB_INTERFACE_DESCRIPTOR& descriptor) {
  return static_cast<ULONG>(GET_USBD_INTERFACE_SIZE(descriptor.bNumEndpoints));
}

}  // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
  auto* const begin = static_cast<PUCHAR>(DescriptorBuffer);
  auto* const end = begin + TotalLength;
  auto* at = static_cast<PUCHAR>(StartPosition);
  if (at < begin) return nullptr;
  // A descriptor is taken only when its header and its whole length fit,
  // so a truncated or corrupt set can never be read past its end.
  while (end - at >= static_cast<ptrdiff_t>(sizeof(USB_COMMON_DESCRIPTOR))) {
    auto* descriptor = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(at);
    if (descriptor->bLength == 0 || descriptor->bLength > end - at) return nullptr;
    if (DescriptorType == -1 || descriptor->bDescriptorType == DescriptorType) return descriptor;
    at += descriptor->bLength;
  }
  return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr) return nullptr;
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  auto* at = static_cast<PUCHAR>(StartPosition);
  for (;;) {
    auto* found = USBD_ParseDescriptors(ConfigurationDescriptor, total, at,
                                        USB_INTERFACE_DESCRIPTOR_TYPE);
    if (found == nullptr) return nullptr;
    at = reinterpret_cast<PUCHAR>(found) + found->bLength;
    if (found->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) continue;
    auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
    if (Matches(InterfaceNumber, interface->bInterfaceNumber) &&
        Matches(AlternateSetting, interface->bAlternateSetting) &&
        Matches(InterfaceClass, interface->bInterfaceClass) &&
        Matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
        Matches(InterfaceProtocol, interface->bInterfaceProtocol))
      return interface;
  }
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                             InterfaceNumber, AlternateSetting, -1, -1, -1);
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

  ULONG size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry)
    size += InterfaceInformationSize(*entry->InterfaceDescriptor);
  // The header's length is 16 bits; a larger request cannot be described.
  if (size > 0xFFFF) return nullptr;

  auto* urb = static_cast<PURB>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kUsbdPoolTag));
  if (urb == nullptr) return nullptr;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = static_cast<USHORT>(size);
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto* at = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
  for (auto* entry = InterfaceList; entry->InterfaceDescriptor != nullptr; ++entry) {
    const auto& descriptor = *entry->InterfaceDescriptor;
    auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
    information->Length = static_cast<USHORT>(InterfaceInformationSize(descriptor));
    information->InterfaceNumber = descriptor.bInterfaceNumber;
    information->AlternateSetting = descriptor.bAlternateSetting;
    information->NumberOfPipes = descriptor.bNumEndpoints;
    for (ULONG pipe = 0; pipe < descriptor.bNumEndpoints; ++pipe)
      information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    entry->Interface = information;
    at += information->Length;
  }
  return urb;
}

PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                     PUSHORT Siz) {
  if (Siz != nullptr) *Siz = 0;
  if (ConfigurationDescriptor == nullptr) return nullptr;

  const ULONG interfaces = ConfigurationDescriptor->bNumInterfaces;
  const SIZE_T listBytes = (interfaces + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY);
  auto* list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
      ExAllocatePool2(POOL_FLAG_NON_PAGED, listBytes, kUsbdPoolTag));
  if (list == nullptr) return nullptr;
  RtlZeroMemory(list, listBytes);

  // Every interface at alternate setting 0, in descriptor order.
  ULONG count = 0;
  for (PVOID at = ConfigurationDescriptor; count < interfaces;) {
    auto* interface = USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, at, -1, 0, -1,
                                                          -1, -1);
    if (interface == nullptr) break;
    list[count++].InterfaceDescriptor = interface;
    at = reinterpret_cast<PUCHAR>(interface) + interface->bLength;
  }

  PURB urb = USBD_CreateConfigurationRequestEx(ConfigurationDescriptor, list);
  ExFreePoolWithTag(list, kUsbdPoolTag);
  if (urb != nullptr && Siz != nullptr) *Siz = urb->UrbHeader.Length;
  return urb;
}
