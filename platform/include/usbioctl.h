// Internal device-control codes that USB client drivers send to the bus
// driver's physical device object.
#pragma once

#include "nt/basetypes.h"
#include "usbdi.h"

#if __has_include("nt/ctlcode.h")
#include "nt/ctlcode.h"
#else
#define CTL_CODE(DeviceType, Function, Method, Access) \
  (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define METHOD_BUFFERED 0
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#endif

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_PORT_STATUS 4
#define USB_CYCLE_PORT 7
#define USB_GET_CONTROLLER_NAME 265

// Argument1 = PURB.
#define IOCTL_INTERNAL_USB_SUBMIT_URB \
  CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT \
  CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
// Argument1 = PULONG receiving USBD_PORT_ENABLED | USBD_PORT_CONNECTED.
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS \
  CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT \
  CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
// Argument1 = PUSB_HUB_NAME buffer, Argument2 = its size in bytes.
#define IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME \
  CTL_CODE(FILE_DEVICE_USB, USB_GET_CONTROLLER_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013);
static_assert(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME == 0x220424);

// Reply to IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME: the length of the name in
// bytes (no terminator counted), then the UTF-16 name, zero-terminated when
// the buffer has room for it.
typedef struct _USB_HUB_NAME {
  ULONG ActualLength;
  WCHAR HubName[1];
} USB_HUB_NAME, *PUSB_HUB_NAME;

static_assert(offsetof(USB_HUB_NAME, HubName) == 4);
