// File objects and the synchronous paths user mode takes: open (create),
// device control, and close (cleanup when the last handle goes, close when
// the last reference goes). All PASSIVE_LEVEL.

#include <new>

#include "platform/kernel/irp_context.h"
#include "platform/sim/dispatcher.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/verifier.h"

namespace sim {

namespace {

struct FileBody {
  FILE_OBJECT file;
  std::u16string fileName;
  bool opened = false;  // the create succeeded, so cleanup and close follow
  bool cleanedUp = false;
};

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

// Sends a create, cleanup or close for `file` and waits for it.
NTSTATUS SendFileRequest(FileBody* body, UCHAR major) {
  Machine& machine = Machine::CurrentChecked();
  PDEVICE_OBJECT device = TopOfStack(body->file.DeviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = AllocateIrp(machine, device->StackSize, IrpOrigin::UserRequest, std::source_location::current());
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  auto* context = static_cast<IrpContext*>(irp->PlatformContext);
  context->event = &event;
  context->iosb = &iosb;
  irp->RequestorMode = UserMode;
  irp->UserIosb = &iosb;
  irp->UserEvent = &event;
  irp->Tail.Overlay.OriginalFileObject = &body->file;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = &body->file;
  return SendAndWait(device, irp, &event, &iosb);
}

void CloseFile(PVOID object, ULONG remainingHandles, Process*) {
  auto* body = static_cast<FileBody*>(object);
  if (remainingHandles == 0 && body->opened && !body->cleanedUp) {
    body->cleanedUp = true;
    SendFileRequest(body, IRP_MJ_CLEANUP);
  }
}

void DeleteFile(PVOID object) {
  auto* body = static_cast<FileBody*>(object);
  PDEVICE_OBJECT device = body->file.DeviceObject;
  if (body->opened) SendFileRequest(body, IRP_MJ_CLOSE);
  InterlockedDecrement(&device->ReferenceCount);
  body->~FileBody();
  ObDereferenceObject(device);
}

_OBJECT_TYPE fileType = {"File", DeleteFile, CloseFile, STANDARD_RIGHTS_ALL | SYNCHRONIZE | 0x1FF};
_OBJECT_TYPE* fileTypePointer = &fileType;

}  // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  NTSTATUS status = CallDriver(device, irp, std::source_location::current());
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

NTSTATUS IoManager::OpenFile(const std::u16string& path, ACCESS_MASK access, Process* process, HANDLE* handle) {
  *handle = nullptr;
  PDEVICE_OBJECT device = nullptr;
  std::u16string remainder;
  NTSTATUS status = Resolve(path, &device, &remainder);
  if (!NT_SUCCESS(status)) return status;
  if (InfoOf(device).deleted || (device->Flags & DO_DEVICE_INITIALIZING)) return STATUS_NO_SUCH_DEVICE;

  auto* body = machine_.objects().New<FileBody>(*IoFileObjectType);
  body->fileName = remainder;
  body->file.Type = 5;
  body->file.Size = sizeof(FILE_OBJECT);
  body->file.DeviceObject = device;
  body->file.FileName.Buffer = body->fileName.data();
  body->file.FileName.Length = static_cast<USHORT>(body->fileName.size() * sizeof(WCHAR));
  body->file.FileName.MaximumLength = body->file.FileName.Length;
  KeInitializeEvent(&body->file.Event, NotificationEvent, FALSE);
  ObReferenceObject(device);
  InterlockedIncrement(&device->ReferenceCount);

  status = SendFileRequest(body, IRP_MJ_CREATE);
  if (NT_SUCCESS(status)) {
    body->opened = true;
    status = machine_.objects().CreateHandle(body, access, false, process, handle);
  }
  machine_.objects().Dereference(body);
  return status;
}

NTSTATUS IoManager::DeviceControl(HANDLE fileHandle, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                  ULONG outputLength, ULONG_PTR* information) {
  *information = 0;
  PVOID object = nullptr;
  NTSTATUS status = machine_.objects().ReferenceByHandle(fileHandle, 0, *IoFileObjectType, UserMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  auto* body = static_cast<FileBody*>(object);
  ULONG method = METHOD_FROM_CTL_CODE(code);
  if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    ObDereferenceObject(object);
    return STATUS_NOT_SUPPORTED;  // nothing here uses direct I/O
  }
  PDEVICE_OBJECT device = TopOfStack(body->file.DeviceObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = BuildDeviceControl(machine_, code, device, input, inputLength, output, outputLength, false, &event, &iosb,
                                UserMode, IrpOrigin::UserRequest);
  if (irp == nullptr) {
    ObDereferenceObject(object);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoGetNextIrpStackLocation(irp)->FileObject = &body->file;
  irp->Tail.Overlay.OriginalFileObject = &body->file;
  status = SendAndWait(device, irp, &event, &iosb);
  if (!NT_ERROR(status)) {
    ULONG_PTR copied = iosb.Information;
    if (method == METHOD_BUFFERED && copied > outputLength) copied = outputLength;
    *information = copied;
  }
  ObDereferenceObject(object);
  return status;
}

}  // namespace sim

POBJECT_TYPE* IoFileObjectType = &sim::fileTypePointer;
