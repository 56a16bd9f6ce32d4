// The USBDI bus interface a client obtains from the bus driver with
// IRP_MN_QUERY_INTERFACE (InterfaceType USB_BUS_INTERFACE_USBDI_GUID).
#pragma once

#include "nt/basetypes.h"
#include "nt/interface.h"
#include "usbdi.h"

#define USB_BUSIFFN __stdcall

DEFINE_GUID(USB_BUS_INTERFACE_USBDI_GUID, 0xb1a96a13, 0x3de0, 0x4574, 0x9b, 0x01, 0xc0, 0x8f,
            0xea, 0x3d, 0x5f, 0x13);

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001

typedef VOID(USB_BUSIFFN* PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext,
                                                         PUSBD_VERSION_INFORMATION VersionInformation,
                                                         PULONG HcdCapabilities);
// Current bus frame number (milliseconds).
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentUsbFrame);
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef NTSTATUS(USB_BUSIFFN* PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                                 PVOID BusInformationBuffer,
                                                                 PULONG BusInformationBufferLength,
                                                                 PULONG BusInformationActualLength);
typedef BOOLEAN(USB_BUSIFFN* PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);

// Begins like INTERFACE, with the context named for what it is.
typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
  USHORT Size;
  USHORT Version;
  PVOID BusContext;
  PINTERFACE_REFERENCE InterfaceReference;
  PINTERFACE_DEREFERENCE InterfaceDereference;
  PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
  PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
  PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
  PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
  PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, BusContext) == offsetof(INTERFACE, Context));
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, InterfaceDereference) ==
              offsetof(INTERFACE, InterfaceDereference));
#if defined(__LP64__) || defined(_WIN64)
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 72);
#endif
