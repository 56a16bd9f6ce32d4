// Single synchronous requests to the bus driver, PASSIVE_LEVEL.
#include <usbdlib.h>
#include <usbioctl.h>

#include "driver/usb/usb_device.h"

namespace {

constexpr UCHAR kVendorValueRequest = 0x02;

}  // namespace

NTSTATUS CUsbDevice::SendInternalRequest(ULONG code, PVOID argument1, PVOID argument2) {
  if (LowerDeviceObject == nullptr) {
    return STATUS_INVALID_DEVICE_STATE;
  }
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus = {};
  PIRP request = IoBuildDeviceIoControlRequest(code, LowerDeviceObject, nullptr, 0, nullptr, 0, TRUE,
                                               &done, &ioStatus);
  if (request == nullptr) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request);
  next->Parameters.Others.Argument1 = argument1;
  next->Parameters.Others.Argument2 = argument2;
  NTSTATUS status = IoCallDriver(LowerDeviceObject, request);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = ioStatus.Status;
  }
  return status;
}

NTSTATUS CUsbDevice::SubmitUrbSync(PURB urb) {
  return SendInternalRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, nullptr);
}

BOOLEAN CUsbDevice::IsPortConnected() {
  ULONG portStatus = 0;
  const NTSTATUS status = SendInternalRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, nullptr);
  return NT_SUCCESS(status) && (portStatus & USBD_PORT_CONNECTED) != 0;
}

BOOLEAN CUsbDevice::ResetPipe(CPipeRecord* record) {
  constexpr USHORT kBytes = sizeof(struct _URB_PIPE_REQUEST);
  auto* urb = static_cast<PURB>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kBytes, kUsbPoolTag));
  if (urb == nullptr) {
    return FALSE;
  }
  urb->UrbHeader.Length = kBytes;
  urb->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
  urb->UrbPipeRequest.PipeHandle = record->PipeHandle;
  const NTSTATUS status = SubmitUrbSync(urb);
  const BOOLEAN reset = NT_SUCCESS(status) && urb->UrbHeader.Status == USBD_STATUS_SUCCESS;
  ExFreePoolWithTag(urb, kUsbPoolTag);
  return reset;
}

NTSTATUS CUsbDevice::GetControllerName(PVOID buffer) {
  return SendInternalRequest(IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, buffer,
                             reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(kControllerNameMaxBytes)));
}

NTSTATUS CUsbDevice::SendVendorValue(USHORT value) {
  URB urb;
  RtlZeroMemory(&urb, sizeof(urb));
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE,
                        sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), USBD_TRANSFER_DIRECTION_OUT, 0,
                        kVendorValueRequest, value, 0, nullptr, nullptr, 0, nullptr);
  return SubmitUrbSync(&urb);
}
