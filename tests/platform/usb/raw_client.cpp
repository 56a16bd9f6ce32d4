#include "tests/platform/usb/raw_client.h"

#include <cstring>

RawClientState g_rawClient;

namespace {

struct FdoExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(static_cast<FdoExtension*>(DeviceObject->DeviceExtension)->lower, Irp);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_SURPRISE_REMOVAL:
      InterlockedIncrement(&g_rawClient.surpriseRemovals);
      break;
    case IRP_MN_REMOVE_DEVICE: {
      InterlockedIncrement(&g_rawClient.removals);
      NTSTATUS status = PassDown(DeviceObject, Irp);
      IoDetachDevice(fdo->lower);
      IoDeleteDevice(DeviceObject);
      return status;
    }
    default:
      break;
  }
  return PassDown(DeviceObject, Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  static_cast<FdoExtension*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS WaitFor(PIRP irp, PDEVICE_OBJECT lower, KEVENT* event, IO_STATUS_BLOCK* iosb) {
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

NTSTATUS SignalEvent(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS RawClientEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  g_rawClient = RawClientState{};
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = PassDown;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

NTSTATUS SendInternal(PDEVICE_OBJECT lower, ULONG code, PVOID argument1, PVOID argument2) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(code, lower, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->Parameters.Others.Argument1 = argument1;
  next->Parameters.Others.Argument2 = argument2;
  return WaitFor(irp, lower, &event, &iosb);
}

NTSTATUS SubmitUrbSync(PDEVICE_OBJECT lower, PURB urb) {
  return SendInternal(lower, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, nullptr);
}

NTSTATUS QueryUsbdi(PDEVICE_OBJECT lower, USB_BUS_INTERFACE_USBDI_V1* bus) {
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_PNP;
  next->MinorFunction = IRP_MN_QUERY_INTERFACE;
  next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
  next->Parameters.QueryInterface.Size = sizeof(*bus);
  next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
  next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bus);
  IoSetCompletionRoutine(irp, SignalEvent, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

RawTransfer::RawTransfer(PDEVICE_OBJECT lower, size_t urbBytes, size_t bufferBytes)
    : lower_(lower), irp_(IoAllocateIrp(lower->StackSize, FALSE)), urb_(urbBytes), buffer_(bufferBytes) {}

RawTransfer::~RawTransfer() { IoFreeIrp(irp_); }

void RawTransfer::PrepareIso(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetBytes, bool in) {
  std::memset(urb_.data(), 0, urb_.size());
  auto& transfer = urb()->UrbIsochronousTransfer;
  urb()->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
  urb()->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  transfer.PipeHandle = pipe;
  transfer.TransferFlags = USBD_START_ISO_TRANSFER_ASAP | (in ? USBD_TRANSFER_DIRECTION_IN : 0);
  transfer.TransferBuffer = buffer_.data();
  transfer.TransferBufferLength = packets * packetBytes;
  transfer.NumberOfPackets = packets;
  for (ULONG k = 0; k < packets; ++k) {
    transfer.IsoPacket[k].Offset = k * packetBytes;
    transfer.IsoPacket[k].Length = in ? 0 : packetBytes;
  }
}

void RawTransfer::PrepareBulk(USBD_PIPE_HANDLE pipe, ULONG length, ULONG flags) {
  std::memset(urb_.data(), 0, urb_.size());
  UsbBuildInterruptOrBulkTransferRequest(urb(), sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe, buffer_.data(),
                                         nullptr, length, flags, nullptr);
}

NTSTATUS RawTransfer::Submit() {
  completed_ = false;
  status_ = STATUS_PENDING;
  IoReuseIrp(irp_, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb();
  IoSetCompletionRoutine(irp_, Completed, this, TRUE, TRUE, TRUE);
  return IoCallDriver(lower_, irp_);
}

NTSTATUS RawTransfer::Completed(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto* self = static_cast<RawTransfer*>(Context);
  self->status_ = Irp->IoStatus.Status;
  self->completed_ = true;
  if (self->onComplete) self->onComplete(*self);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
