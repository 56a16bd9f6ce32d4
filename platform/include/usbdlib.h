// USBD library: descriptor parsing, configuration requests and the URB
// builders client drivers use.
#pragma once

#include "nt/basetypes.h"
#include "usbdi.h"

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;  // null ends the list
  PUSBD_INTERFACE_INFORMATION Interface;          // set to the entry inside the URB
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define GET_ISO_URB_SIZE(n) \
  (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))

#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
  (sizeof(USBD_INTERFACE_INFORMATION) +       \
   sizeof(USBD_PIPE_INFORMATION) * (numEndpoints) - sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes) - 1) * sizeof(USBD_PIPE_INFORMATION))

#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                     \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                                   \
   ((totalInterfaces) - 1) * sizeof(USBD_INTERFACE_INFORMATION) +                               \
   ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

// The first descriptor of DescriptorType (-1: any) at or after StartPosition
// that lies wholly inside the buffer; null when there is none or the buffer
// holds a descriptor of length 0.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType);

// The first interface descriptor at or after StartPosition matching every
// criterion that is not -1.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol);

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber,
    UCHAR AlternateSetting);

// A select-configuration URB from pool for the listed interfaces; the caller
// frees it with ExFreePool. Null when out of memory or too large for a URB.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// As above for every interface of the configuration at alternate setting 0;
// *Siz receives the URB's size (0 on failure).
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                     PUSHORT Siz);

// ---------------------------------------------------------------------------
// URB builders. Like their Windows counterparts they set the fields of the
// request and leave the rest of the block as the caller prepared it.

inline VOID UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                         UCHAR descriptorIndex, USHORT languageId,
                                         PVOID transferBuffer, PMDL transferBufferMDL,
                                         ULONG transferBufferLength, PURB link) {
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbHeader.Length = length;
  urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
  urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMDL;
  urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
  urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
  urb->UrbControlDescriptorRequest.Index = descriptorIndex;
  urb->UrbControlDescriptorRequest.LanguageId = languageId;
  urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline VOID UsbBuildGetStatusRequest(PURB urb, USHORT op, USHORT index, PVOID transferBuffer,
                                     PMDL transferBufferMDL, PURB link) {
  urb->UrbHeader.Function = op;
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
  urb->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);
  urb->UrbControlGetStatusRequest.TransferBufferMDL = transferBufferMDL;
  urb->UrbControlGetStatusRequest.TransferBuffer = transferBuffer;
  urb->UrbControlGetStatusRequest.Index = index;
  urb->UrbControlGetStatusRequest.UrbLink = link;
}

inline VOID UsbBuildFeatureRequest(PURB urb, USHORT op, USHORT featureSelector, USHORT index,
                                   PURB link) {
  urb->UrbHeader.Function = op;
  urb->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST);
  urb->UrbControlFeatureRequest.FeatureSelector = featureSelector;
  urb->UrbControlFeatureRequest.Index = index;
  urb->UrbControlFeatureRequest.UrbLink = link;
}

inline VOID UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configurationDescriptor) {
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbHeader.Length = length;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = configurationDescriptor;
}

inline VOID UsbBuildSelectInterfaceRequest(PURB urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbHeader.Length = length;
  urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
  urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
  urb->UrbSelectInterface.Interface.Length = (USHORT)(length - offsetof(struct _URB_SELECT_INTERFACE, Interface));
  urb->UrbSelectInterface.ConfigurationHandle = configurationHandle;
}

inline VOID UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length,
                                                   USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer, PMDL transferBufferMDL,
                                                   ULONG transferBufferLength, ULONG transferFlags,
                                                   PURB link) {
  urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  urb->UrbHeader.Length = length;
  urb->UrbBulkOrInterruptTransfer.PipeHandle = pipeHandle;
  urb->UrbBulkOrInterruptTransfer.TransferBufferLength = transferBufferLength;
  urb->UrbBulkOrInterruptTransfer.TransferBufferMDL = transferBufferMDL;
  urb->UrbBulkOrInterruptTransfer.TransferBuffer = transferBuffer;
  urb->UrbBulkOrInterruptTransfer.TransferFlags = transferFlags;
  urb->UrbBulkOrInterruptTransfer.UrbLink = link;
}

// cmd: URB_FUNCTION_VENDOR_* or URB_FUNCTION_CLASS_*.
inline VOID UsbBuildVendorRequest(PURB urb, USHORT cmd, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMDL,
                                  ULONG transferBufferLength, PURB link) {
  urb->UrbHeader.Function = cmd;
  urb->UrbHeader.Length = length;
  urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
  urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMDL;
  urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
  urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
  urb->UrbControlVendorClassRequest.Request = request;
  urb->UrbControlVendorClassRequest.Value = value;
  urb->UrbControlVendorClassRequest.Index = index;
  urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
  urb->UrbControlVendorClassRequest.UrbLink = link;
}
