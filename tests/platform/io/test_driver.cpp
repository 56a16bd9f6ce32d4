#include "tests/platform/io/test_driver.h"

#include "tests/support/forwarding.h"

TestDriverState g_testDriver;

namespace {

using test_support::ForwardAndWait;

struct PendingWork {
  KTIMER timer;
  KDPC dpc;
  PIRP irp;
};
PendingWork g_pending;
KTIMER g_leftTimer;

struct FdoExtension {
  PDEVICE_OBJECT lower;
};

VOID CompletePendingDpc(PKDPC, PVOID Context, PVOID, PVOID) {
  auto* work = static_cast<PendingWork*>(Context);
  PIRP irp = work->irp;
  work->irp = nullptr;
  static const char kReply[] = "from the DPC";
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, kReply, sizeof kReply);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = sizeof kReply;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID CancelParked(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_testDriver.cancelableIrp), nullptr);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE: InterlockedIncrement(&g_testDriver.creates); break;
    case IRP_MJ_CLEANUP: InterlockedIncrement(&g_testDriver.cleanups); break;
    case IRP_MJ_CLOSE: InterlockedIncrement(&g_testDriver.closes); break;
  }
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  g_testDriver.is32BitCaller = IoIs32bitProcess(Irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TEST_ECHO:
      // Input and output share the system buffer; echoing is a no-op copy.
      return Complete(Irp, STATUS_SUCCESS, in < out ? in : out);
    case IOCTL_TEST_NEITHER: {
      auto* source = static_cast<const UCHAR*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
      auto* target = static_cast<UCHAR*>(Irp->UserBuffer);
      for (ULONG i = 0; i < in && i < out; ++i) target[i] = static_cast<UCHAR>(source[i] + 1);
      return Complete(Irp, STATUS_SUCCESS, in < out ? in : out);
    }
    case IOCTL_TEST_OVERFLOW:
      // A warning status still carries data back.
      return Complete(Irp, STATUS_BUFFER_OVERFLOW, out);
    case IOCTL_TEST_PEND_DPC: {
      if (out < 13) return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
      IoMarkIrpPending(Irp);
      g_pending.irp = Irp;
      LARGE_INTEGER due;
      due.QuadPart = -10'000;  // 1 ms
      KeSetTimer(&g_pending.timer, due, &g_pending.dpc);
      return STATUS_PENDING;
    }
    case IOCTL_TEST_PEND_CANCELABLE: {
      IoMarkIrpPending(Irp);
      IoSetCancelRoutine(Irp, CancelParked);
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&g_testDriver.cancelableIrp), Irp);
      return STATUS_PENDING;
    }
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS DispatchShutdown(PDEVICE_OBJECT, PIRP Irp) {
  InterlockedIncrement(&g_testDriver.shutdowns);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(fdo->lower, Irp);
      return Complete(Irp, status, 0);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (g_testDriver.refuseQueryRemove) return Complete(Irp, STATUS_DEVICE_BUSY, 0);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      InterlockedIncrement(&g_testDriver.surpriseRemovals);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(Irp);
      NTSTATUS status = IoCallDriver(fdo->lower, Irp);
      IoDetachDevice(fdo->lower);
      IoDeleteDevice(DeviceObject);
      return status;
    }
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(fdo->lower, Irp);
}

NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  auto* fdo = static_cast<FdoExtension*>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  InterlockedIncrement(&g_testDriver.powerIrps);
  if (stack->MinorFunction == IRP_MN_SET_POWER) {
    if (stack->Parameters.Power.Type == SystemPowerState)
      g_testDriver.lastSystemPower = stack->Parameters.Power.State.SystemState;
    else
      g_testDriver.lastDevicePower = stack->Parameters.Power.State.DeviceState;
  }
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(fdo->lower, Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto* extension = static_cast<FdoExtension*>(fdo->DeviceExtension);
  extension->lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  fdo->Flags |= DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {
  InterlockedIncrement(&g_testDriver.unloads);
  if (g_testDriver.leaveTimerAtUnload) {
    KeInitializeTimer(&g_leftTimer);
    LARGE_INTEGER due;
    due.QuadPart = -10'000'000;
    KeSetTimer(&g_leftTimer, due, nullptr);
  }
}

}  // namespace

NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  g_testDriver = TestDriverState{};
  g_pending.irp = nullptr;
  KeInitializeTimer(&g_pending.timer);
  KeInitializeDpc(&g_pending.dpc, CompletePendingDpc, &g_pending);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = DispatchShutdown;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

namespace {
VOID FormatName(WCHAR* buffer, size_t count, const WCHAR* prefix, int n) {
  size_t i = 0;
  for (; prefix[i] && i + 2 < count; ++i) buffer[i] = prefix[i];
  buffer[i++] = static_cast<WCHAR>(u'0' + n);
  buffer[i] = 0;
}
}  // namespace

NTSTATUS TestCreateControlDevice(PDRIVER_OBJECT DriverObject, int n, PDEVICE_OBJECT* Device) {
  WCHAR deviceText[64], linkText[64];
  FormatName(deviceText, 64, TEXT("\\Device\\TestCtl"), n);
  FormatName(linkText, 64, TEXT("\\DosDevices\\TestCtl"), n);
  UNICODE_STRING deviceName, linkName;
  RtlInitUnicodeString(&deviceName, deviceText);
  RtlInitUnicodeString(&linkName, linkText);
  NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, Device);
  if (!NT_SUCCESS(status)) return status;
  (*Device)->Flags |= DO_BUFFERED_IO;
  (*Device)->Flags &= ~DO_DEVICE_INITIALIZING;
  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) IoDeleteDevice(*Device);
  return status;
}

VOID TestDeleteControlDevice(PDEVICE_OBJECT Device, int n) {
  WCHAR linkText[64];
  FormatName(linkText, 64, TEXT("\\DosDevices\\TestCtl"), n);
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, linkText);
  IoDeleteSymbolicLink(&linkName);
  IoDeleteDevice(Device);
}
