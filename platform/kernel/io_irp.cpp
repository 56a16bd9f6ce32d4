// IRPs: allocation and reuse, passing down the stack, completion up the
// stack with completion routines, cancellation, and the requests the I/O
// manager builds for callers (device control, user requests).
//
// IoCallDriver and IoCompleteRequest run at the caller's IRQL (completion
// often at DISPATCH_LEVEL from a DPC). The cancel spin lock is the
// machine's; a cancel routine is entered holding it and must release it.

#include <cstring>

#include "platform/kernel/irp_context.h"
#include "platform/sim/dispatcher.h"
#include "platform/sim/io_manager.h"
#include "platform/sim/pool.h"
#include "platform/sim/verifier.h"

namespace sim {

namespace {

constexpr ULONG kIrpTag = ' prI';
constexpr SHORT kIrpType = 6;

IrpContext* ContextOf(PIRP irp) { return static_cast<IrpContext*>(irp->PlatformContext); }

void ResetIrp(PIRP irp, USHORT size, CCHAR stackSize) {
  PVOID context = irp->PlatformContext;
  UCHAR allocationFlags = irp->AllocationFlags;
  std::memset(irp, 0, size);
  irp->Type = kIrpType;
  irp->Size = size;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  InitializeListHead(&irp->ThreadListEntry);
  irp->PlatformContext = context;
  irp->AllocationFlags = allocationFlags;
}

}  // namespace

PIRP AllocateIrp(Machine& machine, CCHAR stackSize, IrpOrigin origin, const std::source_location& caller) {
  if (stackSize <= 0) return nullptr;
  USHORT size = IoSizeOfIrp(stackSize);
  auto* irp = static_cast<PIRP>(machine.pool().Allocate(POOL_FLAG_NON_PAGED, size + sizeof(IrpContext), kIrpTag,
                                                        true, caller));
  if (irp == nullptr) return nullptr;
  auto* context = new (reinterpret_cast<char*>(irp) + size) IrpContext;
  context->origin = origin;
  context->process = PsGetCurrentProcess();
  context->caller = caller;
  irp->PlatformContext = context;
  ResetIrp(irp, size, stackSize);
  IoManager::Of(machine).TrackIrp(irp);
  return irp;
}

void ReleaseIrpStorage(Machine& machine, PIRP irp) {
  ContextOf(irp)->~IrpContext();
  machine.pool().Free(irp, kIrpTag, true, std::source_location::current());
}

void FreeIrp(Machine& machine, PIRP irp, const std::source_location& caller) {
  if (irp->Type != kIrpType || ContextOf(irp) == nullptr || ContextOf(irp)->freed)
    VerifierFail(rule::kPoolDoubleFree, "IoFreeIrp of something that is not a live IRP", caller);
  if (irp->CurrentLocation <= irp->StackCount)
    VerifierFail(rule::kIrpFreedWhileOwned, "IRP freed while a lower driver still owns it", caller);
  IoManager::Of(machine).ForgetIrp(irp);  // quarantines the storage
}

// Runs when a request completes past its top stack location.
static void FinishRequest(PIRP irp, const std::source_location& caller) {
  IrpContext* context = ContextOf(irp);
  if (context == nullptr || context->origin == IrpOrigin::Allocated) return;  // the allocator takes it back
  Machine& machine = Machine::CurrentChecked();
  if (context->bufferedOutput && context->userOutput && !NT_ERROR(irp->IoStatus.Status)) {
    ULONG_PTR copy = irp->IoStatus.Information;
    if (copy > context->outputLength) copy = context->outputLength;
    std::memcpy(context->userOutput, irp->AssociatedIrp.SystemBuffer, copy);
  }
  if (context->systemBuffer) {
    std::free(context->systemBuffer);
    context->systemBuffer = nullptr;
  }
  if (context->iosb) *context->iosb = irp->IoStatus;
  PKEVENT event = context->event;
  // The waiter may free its event once set, so set it last; the IRP goes
  // first, since the waiter does not touch it.
  FreeIrp(machine, irp, caller);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const std::source_location& caller) {
  if (irp->CurrentLocation <= 1) {
    VerifierFail("NO_MORE_IRP_STACK_LOCATIONS", "IoCallDriver past the last stack location", caller);
  }
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->DeviceObject = device;
  PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
  return dispatch(device, irp);
}

void CompleteRequest(PIRP irp, const std::source_location& caller) {
  if (irp->Type != kIrpType || (ContextOf(irp) && ContextOf(irp)->freed))
    VerifierFail(rule::kIrpDoubleComplete, "completion of an IRP that was already completed and freed", caller);
  if (irp->CurrentLocation > irp->StackCount)
    VerifierFail(rule::kIrpDoubleComplete, "IRP completed twice (no driver owns it)", caller);
  if (irp->IoStatus.Status == STATUS_PENDING)
    VerifierFail("IRP_COMPLETED_WITH_PENDING", "IoCompleteRequest with STATUS_PENDING", caller);
  if (irp->CancelRoutine != nullptr)
    VerifierFail("IRP_COMPLETED_WITH_CANCEL_ROUTINE", "IRP completed with its cancel routine still set", caller);

  while (irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID routineContext = stack->Context;
    UCHAR control = stack->Control;
    bool invoke = routine != nullptr &&
                  ((NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR)) ||
                   (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
    bool atTop = irp->CurrentLocation > irp->StackCount;
    if (invoke) {
      PDEVICE_OBJECT upper = atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
      if (routine(upper, irp, routineContext) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (irp->PendingReturned && !atTop) {
      IoMarkIrpPending(irp);
    }
  }
  FinishRequest(irp, caller);
}

PIRP BuildDeviceControl(Machine& machine, ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                        PVOID output, ULONG outputLength, bool internal, PKEVENT event, PIO_STATUS_BLOCK iosb,
                        KPROCESSOR_MODE mode, IrpOrigin origin) {
  PIRP irp = AllocateIrp(machine, device->StackSize, origin, std::source_location::current());
  if (irp == nullptr) return nullptr;
  IrpContext* context = ContextOf(irp);
  context->event = event;
  context->iosb = iosb;
  irp->RequestorMode = mode;
  irp->UserIosb = iosb;
  irp->UserEvent = event;
  irp->Tail.Overlay.Thread = PsGetCurrentThread();
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED) {
    size_t size = inputLength > outputLength ? inputLength : outputLength;
    if (size > 0) {
      context->systemBuffer = std::calloc(1, size);
      if (context->systemBuffer == nullptr) {
        FreeIrp(machine, irp, std::source_location::current());
        return nullptr;
      }
      if (input && inputLength) std::memcpy(context->systemBuffer, input, inputLength);
    }
    irp->AssociatedIrp.SystemBuffer = context->systemBuffer;
    irp->Flags |= IRP_BUFFERED_IO;
    context->bufferedOutput = true;
    context->userOutput = output;
    context->outputLength = outputLength;
  } else {
    // METHOD_NEITHER: the caller's pointers pass untouched.
    next->Parameters.DeviceIoControl.Type3InputBuffer = input;
  }
  irp->UserBuffer = output;
  return irp;
}

}  // namespace sim

// ---------------------------------------------------------------------------
// Kernel entry points

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN, const std::source_location& Caller) {
  return sim::AllocateIrp(sim::Machine::CurrentChecked(), StackSize, sim::IrpOrigin::Allocated, Caller);
}

VOID IoFreeIrp(PIRP Irp, const std::source_location& Caller) {
  sim::FreeIrp(sim::Machine::CurrentChecked(), Irp, Caller);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  Irp->PlatformContext = nullptr;
  Irp->AllocationFlags = 0;
  sim::ResetIrp(Irp, PacketSize, StackSize);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  if (Irp->CurrentLocation <= Irp->StackCount)
    sim::VerifierFail(sim::rule::kIrpFreedWhileOwned, "IoReuseIrp while a lower driver still owns the IRP");
  sim::ResetIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->IoStatus.Status = Iostatus;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const std::source_location& Caller) {
  return sim::CallDriver(DeviceObject, Irp, Caller);
}

VOID IofCompleteRequest(PIRP Irp, CCHAR, const std::source_location& Caller) { sim::CompleteRequest(Irp, Caller); }

NTSTATUS IoSetCompletionRoutineEx(PDEVICE_OBJECT, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                  BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel) {
  // The driver cannot unload while our own IRP is outstanding, so the plain
  // routine is safe here.
  IoSetCompletionRoutine(Irp, CompletionRoutine, Context, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
  return STATUS_SUCCESS;
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return __atomic_exchange_n(&Irp->CancelRoutine, CancelRoutine, __ATOMIC_SEQ_CST);
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql, const std::source_location& Caller) {
  KeAcquireSpinLock(&sim::IoManager::Of(sim::Machine::CurrentChecked()).cancelLock(), Irql, Caller);
}

VOID IoReleaseCancelSpinLock(KIRQL Irql, const std::source_location& Caller) {
  KeReleaseSpinLock(&sim::IoManager::Of(sim::Machine::CurrentChecked()).cancelLock(), Irql, Caller);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  routine(device, Irp);  // releases the cancel spin lock
  return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  return sim::BuildDeviceControl(sim::Machine::CurrentChecked(), IoControlCode, DeviceObject, InputBuffer,
                                 InputBufferLength, OutputBuffer, OutputBufferLength, InternalDeviceIoControl != FALSE,
                                 Event, IoStatusBlock, KernelMode, sim::IrpOrigin::BuiltRequest);
}

BOOLEAN IoIs32bitProcess(PIRP Irp) {
  if (Irp != nullptr && Irp->PlatformContext != nullptr)
    return static_cast<sim::IrpContext*>(Irp->PlatformContext)->process->is32Bit;
  return PsGetCurrentProcess()->is32Bit;
}
