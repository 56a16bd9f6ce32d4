// The platform's bookkeeping behind an IRP (IRP.PlatformContext).
#pragma once

#include <source_location>

#include <wdm.h>

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace sim {

enum class IrpOrigin {
  Allocated,     // IoAllocateIrp: the allocator takes it back and frees it
  BuiltRequest,  // IoBuildDeviceIoControlRequest: freed when it completes
  UserRequest,   // built by the I/O manager for user mode: freed when it completes
};

struct IrpContext {
  IrpOrigin origin = IrpOrigin::Allocated;
  Process* process = nullptr;
  std::source_location caller;
  bool freed = false;  // in quarantine
  PKEVENT event = nullptr;
  PIO_STATUS_BLOCK iosb = nullptr;
  void* systemBuffer = nullptr;  // METHOD_BUFFERED system buffer, ours to free
  bool bufferedOutput = false;
  PVOID userOutput = nullptr;
  ULONG outputLength = 0;
};

PIRP AllocateIrp(Machine& machine, CCHAR stackSize, IrpOrigin origin, const std::source_location& caller);
void FreeIrp(Machine& machine, PIRP irp, const std::source_location& caller);
void ReleaseIrpStorage(Machine& machine, PIRP irp);
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const std::source_location& caller);
void CompleteRequest(PIRP irp, const std::source_location& caller);
PIRP BuildDeviceControl(Machine& machine, ULONG code, PDEVICE_OBJECT device, PVOID input, ULONG inputLength,
                        PVOID output, ULONG outputLength, bool internal, PKEVENT event, PIO_STATUS_BLOCK iosb,
                        KPROCESSOR_MODE mode, IrpOrigin origin);
// Sends an IRP down and waits for it when it pends; returns its final status.
NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb);

}  // namespace sim
