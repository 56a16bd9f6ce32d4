#include "driver/control/control_router.h"

#include "common/control_codes.h"
#include "driver/control/control_groups.h"
#include "driver/core/device_context.h"

namespace {

// The one check of a request's buffer against its code's record, made after
// the group's precondition and before any handler runs, so no handler reads
// or writes past the system buffer:
//  - a code with no record (size 0) takes any buffer, or none;
//  - a buffer whose input or output length is below the record gets
//    STATUS_BUFFER_TOO_SMALL;
//  - no buffer at all (null, or both lengths 0) gets STATUS_INVALID_HANDLE
//    in the USB-device and sample-rate groups; the ASIO group's handlers
//    decide that case per code.
// The 32-bit layout of a code applies to requests from 32-bit processes.
// TRUE when the handler may run; otherwise *status holds the answer.
BOOLEAN RecordFits(const CONTROL_CODE_INFO& info, const CONTROL_REQUEST& request,
                   NTSTATUS* status) {
  const ULONG recordSize = IoIs32bitProcess(request.Irp) ? info.RecordSize32 : info.RecordSize;
  if (recordSize == 0) return TRUE;
  const BOOLEAN hasBuffer =
      request.Buffer != nullptr && (request.InputLength > 0 || request.OutputLength > 0);
  if (!hasBuffer) {
    if (info.Group == CONTROL_GROUP::Asio) return TRUE;
    *status = STATUS_INVALID_HANDLE;
    return FALSE;
  }
  if (request.InputLength < recordSize || request.OutputLength < recordSize) {
    *status = STATUS_BUFFER_TOO_SMALL;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

NTSTATUS DispatchControlRequest(CDeviceContext* context, PIRP irp) {
  if (context == nullptr || irp == nullptr) return STATUS_INVALID_PARAMETER;

  const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  CONTROL_REQUEST request;
  request.Irp = irp;
  request.Code = stack->Parameters.DeviceIoControl.IoControlCode;
  request.Buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;

  NTSTATUS status = STATUS_INVALID_PARAMETER;
  BOOLEAN keepPending = FALSE;
  const CONTROL_CODE_INFO* info = ControlCodeInfo(request.Code);
  if (info != nullptr) {
    if (info->Group == CONTROL_GROUP::Asio && !context->UsbDevice.HighSpeed) {
      status = STATUS_NOT_IMPLEMENTED;
    } else if (RecordFits(*info, request, &status)) {
      switch (info->Group) {
        case CONTROL_GROUP::UsbDevice:
          status = HandleUsbDeviceRequest(&context->UsbDevice, request);
          break;
        case CONTROL_GROUP::SampleRate:
          status = HandleSampleRateRequest(&context->Engine, request);
          break;
        case CONTROL_GROUP::Asio:
          status = HandleAsioRequest(&context->Engine, request, &keepPending);
          break;
      }
    }
  }

  if (keepPending) return status;
  // The whole record counts as returned, on failure too. The I/O manager
  // copies back at most the output length, and nothing on an error status.
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = request.OutputLength;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
