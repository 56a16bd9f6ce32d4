// The host controller's frame clock and its transfer schedule: queuing,
// isochronous ASAP placement, moving packets each microframe, completion,
// cancellation and unplugging. Control requests are control_requests.cpp.

#include "platform/usb/host_controller.h"

#include <algorithm>
#include <span>
#include <stdexcept>

#include "platform/sim/io_manager.h"
#include "platform/sim/pnp.h"
#include "platform/usb/bus_driver.h"
#include <usbdlib.h>

namespace sim::usb {
namespace {

// A late ASAP request starts this many frames after the frame in progress.
constexpr uint64_t kAsapLeadFrames = 3;
constexpr ULONG kMaxIsoPackets = 1024;

// What the schedule keeps about a queued transfer, in the URB's area
// reserved for the host controller.
struct [[gnu::may_alias]] TransferState {
  uint64_t startMicroframe;
  uint32_t step;  // microframes per packet: 1 at high speed, 8 at full speed
  uint32_t errors;
  uint8_t pipe;
  bool queued;
  bool started;
  bool failed;
};
static_assert(sizeof(TransferState) <= sizeof(_URB_HCD_AREA));
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, hca) == offsetof(_URB_ISOCH_TRANSFER, hca));
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) ==
              offsetof(_URB_ISOCH_TRANSFER, TransferBuffer));

PURB UrbOf(PIRP irp) {
  return static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
}
TransferState& StateOf(PURB urb) {
  return *reinterpret_cast<TransferState*>(&urb->UrbBulkOrInterruptTransfer.hca);
}
PIRP IrpOf(PLIST_ENTRY entry) { return CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry); }

bool IsIn(const Pipe& pipe) { return USB_ENDPOINT_DIRECTION_IN(pipe.address) != 0; }

// Bytes of packet k: from its offset to the next packet's (or the end).
std::span<uint8_t> PacketSpan(const _URB_ISOCH_TRANSFER& transfer, ULONG k) {
  const ULONG begin = transfer.IsoPacket[k].Offset;
  const ULONG end = k + 1 < transfer.NumberOfPackets ? transfer.IsoPacket[k + 1].Offset
                                                     : transfer.TransferBufferLength;
  return {static_cast<uint8_t*>(transfer.TransferBuffer) + begin, end - begin};
}

int32_t CaptureErrno(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS: return 0;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED: return kCaptureStall;
    case USBD_STATUS_CANCELED: return kCaptureUnlinked;
    case USBD_STATUS_DEVICE_GONE: return kCaptureShutdown;
    case USBD_STATUS_BABBLE_DETECTED: return kCaptureOverflow;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE: return kCaptureInvalid;
    default: return kCaptureProtocol;
  }
}

}  // namespace

NTSTATUS NtStatusFromUsbd(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_BAD_START_FRAME:
    case USBD_STATUS_BUFFER_TOO_SMALL:
    case USBD_STATUS_INTERFACE_NOT_FOUND: return STATUS_INVALID_PARAMETER;
    default: return STATUS_UNSUCCESSFUL;
  }
}

// ---- devices ----------------------------------------------------------------

AttachedUnit::AttachedUnit(HostController& controller, const sim::unit::UnitConfig& config,
                           uint8_t address)
    : controller_(controller),
      unit_(std::make_unique<sim::unit::TarvikUnit>(config)),
      address_(address),
      configurationDescriptor_(unit_->configurationDescriptor()) {
  for (auto& pipe : pipes_) InitializeListHead(&pipe.queue);
  // One pipe per endpoint address, whichever settings it appears in.
  const auto* configuration =
      reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configurationDescriptor_.data());
  UCHAR interface = 0;
  for (PVOID at = configurationDescriptor_.data();;) {
    auto* descriptor = USBD_ParseDescriptors(configurationDescriptor_.data(),
                                             configuration->wTotalLength, at, -1);
    if (descriptor == nullptr) break;
    at = reinterpret_cast<PUCHAR>(descriptor) + descriptor->bLength;
    if (descriptor->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)
      interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(descriptor)->bInterfaceNumber;
    if (descriptor->bDescriptorType != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
    const UCHAR address = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(descriptor)->bEndpointAddress;
    bool known = false;
    for (size_t i = 0; i < pipeCount_; ++i) known |= pipes_[i].address == address;
    if (known || pipeCount_ == kMaxPipes) continue;
    pipes_[pipeCount_].address = address;
    pipes_[pipeCount_].interface = interface;
    ++pipeCount_;
  }
}

bool AttachedUnit::connected() const { return controller_.IsConnected(*this); }
void AttachedUnit::Unplug() { controller_.Unplug(*this); }

// ---- controller -------------------------------------------------------------

HostController::HostController(Machine& machine, unsigned index, std::u16string name,
                               uint32_t startFrame, PDRIVER_OBJECT hubDriver)
    : machine_(machine),
      index_(index),
      name_(std::move(name)),
      startFrame_(startFrame),
      epoch_(machine.Now()),
      hubDriver_(hubDriver) {
  KeInitializeSpinLock(&scheduleLock_);
  KeInitializeTimerEx(&frameTimer_, NotificationTimer);
  KeInitializeDpc(&frameDpc_, FrameDpc, this);
}

HostController::~HostController() = default;

uint64_t HostController::CurrentFrame() const {
  return startFrame_ + (machine_.Now() - epoch_) / kMillisecond;
}

Device& HostController::Attach(const sim::unit::UnitConfig& config, const std::u16string& service,
                               const std::function<void(sim::unit::TarvikUnit&)>& prepare) {
  auto owned = std::make_unique<AttachedUnit>(*this, config,
                                              static_cast<uint8_t>(devices_.size() + 1));
  AttachedUnit& device = *owned;
  NTSTATUS status = CreatePdo(hubDriver_, &device, &device.pdo_);
  if (!NT_SUCCESS(status)) throw std::runtime_error("cannot create the unit's device object");
  DeviceInfo& info = InfoOf(device.pdo_);
  info.location = "Port_#" + std::to_string(device.address()) + ".Hub_#" + std::to_string(index_ + 1);
  info.driverKeyPath = AssignDriverKey(machine_, config.serialNumber);

  KIRQL irql;
  KeAcquireSpinLock(&scheduleLock_, &irql);
  TellUnitLocked(device, CurrentFrame() * 8);
  devices_.push_back(std::move(owned));
  KeReleaseSpinLock(&scheduleLock_, irql);

  if (prepare) prepare(*device.unit_);
  device.startStatus_ = PnpManager::Of(machine_).DeviceArrived(device.pdo_, service);
  return device;
}

std::vector<Device*> HostController::devices() {
  KIRQL irql;
  KeAcquireSpinLock(&scheduleLock_, &irql);
  std::vector<Device*> result;
  for (auto& device : devices_) result.push_back(device.get());
  KeReleaseSpinLock(&scheduleLock_, irql);
  return result;
}

bool HostController::StartCapture(const std::string& path) { return capture_.Open(path); }
void HostController::StopCapture() { capture_.Close(); }

bool HostController::IsConnected(const AttachedUnit& device) const {
  return !__atomic_load_n(&device.gone_, __ATOMIC_ACQUIRE);
}

void HostController::Unplug(AttachedUnit& device) {
  DoneList done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&scheduleLock_, &irql);
  const bool wasConnected = !device.gone_;
  __atomic_store_n(&device.gone_, true, __ATOMIC_RELEASE);
  for (size_t i = 0; i < device.pipeCount_; ++i)
    FlushQueue(device, device.pipes_[i], USBD_STATUS_DEVICE_GONE, &done);
  KeReleaseSpinLock(&scheduleLock_, irql);
  CompleteAll(&done);
  if (!wasConnected || device.pdo_ == nullptr) return;

  PnpManager::Of(machine_).SurpriseRemoveDevice(device.pdo_);
  ReleaseDriverKey(machine_, InfoOf(device.pdo_).driverKeyPath);
  // A function driver that is still attached keeps the object until teardown.
  if (device.pdo_->AttachedDevice == nullptr) {
    IoDeleteDevice(device.pdo_);
    device.pdo_ = nullptr;
  }
}

void HostController::Shutdown() {
  for (auto& device : devices_) {
    if (device->pdo_ == nullptr || device->gone_) continue;
    const auto* node = PnpManager::Of(machine_).FindNode(device->pdo_);
    if (node != nullptr && node->state != PnpManager::NodeState::Removed &&
        !NT_SUCCESS(PnpManager::Of(machine_).RemoveDevice(device->pdo_)))
      PnpManager::Of(machine_).SurpriseRemoveDevice(device->pdo_);
  }
  DoneList done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&scheduleLock_, &irql);
  for (auto& device : devices_) {
    __atomic_store_n(&device->gone_, true, __ATOMIC_RELEASE);
    for (size_t i = 0; i < device->pipeCount_; ++i)
      FlushQueue(*device, device->pipes_[i], USBD_STATUS_DEVICE_GONE, &done);
  }
  KeCancelTimer(&frameTimer_);
  clockRunning_ = false;
  KeReleaseSpinLock(&scheduleLock_, irql);
  CompleteAll(&done);
  KeRemoveQueueDpc(&frameDpc_);
  KeFlushQueuedDpcs();
  for (auto& device : devices_) {
    if (device->pdo_ != nullptr && device->pdo_->AttachedDevice == nullptr) {
      IoDeleteDevice(device->pdo_);
      device->pdo_ = nullptr;
    }
  }
  capture_.Close();
}

// ---- clock ------------------------------------------------------------------

void HostController::StartClockLocked() {
  if (clockRunning_) return;
  clockRunning_ = true;
  nextFrame_ = CurrentFrame();
  const uint64_t frameEnd = epoch_ + (nextFrame_ - startFrame_ + 1) * kMillisecond;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(frameEnd - machine_.Now());
  KeSetTimerEx(&frameTimer_, due, 1, &frameDpc_);
}

VOID HostController::FrameDpc(PKDPC, PVOID context, PVOID, PVOID) {
  static_cast<HostController*>(context)->RunEndedFrames();
}

// DISPATCH_LEVEL, from the frame timer's DPC.
void HostController::RunEndedFrames() {
  DoneList done;
  InitializeListHead(&done);
  KeAcquireSpinLockAtDpcLevel(&scheduleLock_);
  const uint64_t current = CurrentFrame();
  for (; clockRunning_ && nextFrame_ < current; ++nextFrame_)
    for (uint64_t microframe = nextFrame_ * 8; microframe < (nextFrame_ + 1) * 8; ++microframe)
      for (auto& device : devices_) RunMicroframe(*device, microframe, &done);
  KeReleaseSpinLockFromDpcLevel(&scheduleLock_);
  CompleteAll(&done);
}

void HostController::TellUnitLocked(AttachedUnit& device, uint64_t microframe) {
  // A late DPC in real-time mode may run frames the unit has passed; it
  // then keeps its own, later microframe.
  if (device.unitMicroframe_ != 0 && microframe <= device.unitMicroframe_) return;
  device.unit_->BeginMicroframe(microframe);
  device.unitMicroframe_ = microframe;
}

void HostController::RunMicroframe(AttachedUnit& device, uint64_t microframe, DoneList* done) {
  if (device.gone_) return;
  TellUnitLocked(device, microframe);
  for (size_t i = 0; i < device.pipeCount_; ++i) {
    Pipe& pipe = device.pipes_[i];
    if (IsListEmpty(&pipe.queue)) continue;
    if (pipe.type != UsbdPipeTypeIsochronous) {
      RunBulk(device, pipe, IrpOf(pipe.queue.Flink), done);
      continue;
    }
    for (PLIST_ENTRY entry = pipe.queue.Flink; entry != &pipe.queue;) {
      PIRP irp = IrpOf(entry);
      entry = entry->Flink;
      const TransferState& state = StateOf(UrbOf(irp));
      if (microframe < state.startMicroframe) break;  // the queue is in start order
      const uint64_t offset = microframe - state.startMicroframe;
      if (offset % state.step != 0 || offset / state.step >= UrbOf(irp)->UrbIsochronousTransfer.NumberOfPackets)
        continue;
      RunIsoPacket(device, pipe, irp, microframe, done);
      if (pipe.halted) break;
    }
  }
}

// ---- transfers --------------------------------------------------------------

NTSTATUS HostController::SubmitUrb(AttachedUnit& device, PIRP irp, PURB urb) {
  if (urb == nullptr || urb->UrbHeader.Length < sizeof(_URB_HEADER)) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
  }
  const USHORT function = urb->UrbHeader.Function;
  if (function == URB_FUNCTION_ISOCH_TRANSFER || function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    return SubmitTransfer(device, irp, urb);

  DoneList done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&scheduleLock_, &irql);
  const USBD_STATUS status = device.gone_ ? USBD_STATUS_DEVICE_GONE : RunControlLocked(device, urb, &done);
  KeReleaseSpinLock(&scheduleLock_, irql);
  CompleteAll(&done);

  urb->UrbHeader.Status = status;
  irp->IoStatus.Status = NtStatusFromUsbd(status);
  irp->IoStatus.Information = 0;
  const NTSTATUS result = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return result;
}


NTSTATUS HostController::SubmitTransfer(AttachedUnit& device, PIRP irp, PURB urb) {
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  const bool isochronous = urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER;
  USBD_STATUS status = USBD_STATUS_SUCCESS;
  DoneList done;
  InitializeListHead(&done);

  KIRQL irql;
  KeAcquireSpinLock(&scheduleLock_, &irql);
  Pipe* pipe = nullptr;
  if (device.gone_) {
    status = USBD_STATUS_DEVICE_GONE;
  } else if (urb->UrbHeader.Length < (isochronous ? offsetof(_URB_ISOCH_TRANSFER, IsoPacket)
                                                  : sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER))) {
    status = USBD_STATUS_INVALID_PARAMETER;
  } else if ((pipe = FindPipe(device, transfer.PipeHandle)) == nullptr) {
    status = USBD_STATUS_INVALID_PIPE_HANDLE;
  } else if (isochronous != (pipe->type == UsbdPipeTypeIsochronous) ||
             pipe->type == UsbdPipeTypeControl) {
    status = USBD_STATUS_INVALID_PARAMETER;
  } else if (pipe->halted) {
    status = USBD_STATUS_ENDPOINT_HALTED;
  } else if (transfer.TransferBuffer == nullptr && transfer.TransferBufferLength != 0) {
    status = USBD_STATUS_INVALID_PARAMETER;  // buffers are passed by address
  } else {
    TransferState& state = StateOf(urb);
    state = TransferState{};
    state.pipe = static_cast<uint8_t>(pipe - device.pipes_.data());
    if (isochronous) status = ScheduleIsochronous(device, *pipe, urb);
  }
  if (status != USBD_STATUS_SUCCESS) {
    KeReleaseSpinLock(&scheduleLock_, irql);
    urb->UrbHeader.Status = status;
    irp->IoStatus.Status = NtStatusFromUsbd(status);
    irp->IoStatus.Information = 0;
    const NTSTATUS result = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
  }

  urb->UrbHeader.Status = USBD_STATUS_PENDING;
  IoMarkIrpPending(irp);
  StateOf(urb).queued = true;
  InsertTailList(&pipe->queue, &irp->Tail.Overlay.ListEntry);
  ++queuedTransfers_;
  CaptureUrb(device, *pipe, irp, false);
  IoSetCancelRoutine(irp, CancelTransfer);
  if (irp->Cancel && Dequeue(irp)) Finish(device, irp, USBD_STATUS_CANCELED, &done);
  StartClockLocked();
  KeReleaseSpinLock(&scheduleLock_, irql);
  CompleteAll(&done);
  return STATUS_PENDING;
}

USBD_STATUS HostController::ScheduleIsochronous(AttachedUnit& device, Pipe& pipe, PURB urb) {
  auto& transfer = urb->UrbIsochronousTransfer;
  const ULONG packets = transfer.NumberOfPackets;
  const uint32_t step = device.highSpeed() ? 1 : 8;
  if (packets == 0 || packets > kMaxIsoPackets || (step == 1 && packets % 8 != 0))
    return USBD_STATUS_INVALID_PARAMETER;
  // The descriptors must lie inside the request the caller built.
  if (urb->UrbHeader.Length <
      offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
    return USBD_STATUS_INVALID_PARAMETER;
  for (ULONG k = 0; k < packets; ++k) {
    const ULONG begin = transfer.IsoPacket[k].Offset;
    const ULONG end = k + 1 < packets ? transfer.IsoPacket[k + 1].Offset : transfer.TransferBufferLength;
    if (begin > end || end > transfer.TransferBufferLength) return USBD_STATUS_INVALID_PARAMETER;
    if (!IsIn(pipe) && end - begin > pipe.maxPacket) return USBD_STATUS_INVALID_PARAMETER;
  }

  const uint64_t current = CurrentFrame();
  uint64_t start;
  if (transfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
    // Directly after the previous request while that one is still on the
    // schedule; otherwise a little after the frame in progress.
    start = pipe.continues && pipe.nextMicroframe >= (current + 1) * 8
                ? pipe.nextMicroframe
                : (current + kAsapLeadFrames) * 8;
  } else {
    const auto ahead = static_cast<int32_t>(transfer.StartFrame - static_cast<uint32_t>(current));
    if (ahead <= 0 || ahead > static_cast<int32_t>(kMaxIsoPackets)) return USBD_STATUS_BAD_START_FRAME;
    start = (current + static_cast<uint64_t>(ahead)) * 8;
  }
  pipe.continues = true;
  pipe.nextMicroframe = start + uint64_t{packets} * step;
  transfer.StartFrame = static_cast<ULONG>(start / 8);
  transfer.ErrorCount = 0;
  for (ULONG k = 0; k < packets; ++k) {
    if (IsIn(pipe)) transfer.IsoPacket[k].Length = 0;
    transfer.IsoPacket[k].Status = USBD_STATUS_NOT_ACCESSED;
  }
  TransferState& state = StateOf(urb);
  state.startMicroframe = start;
  state.step = step;
  return USBD_STATUS_SUCCESS;
}

void HostController::RunIsoPacket(AttachedUnit& device, Pipe& pipe, PIRP irp, uint64_t microframe,
                                  DoneList* done) {
  PURB urb = UrbOf(irp);
  auto& transfer = urb->UrbIsochronousTransfer;
  TransferState& state = StateOf(urb);
  const ULONG k = static_cast<ULONG>((microframe - state.startMicroframe) / state.step);
  auto& packet = transfer.IsoPacket[k];
  if (k == 0) state.failed = device.unit_->TakeTransferFailure(pipe.address);

  using sim::unit::EndpointStatus;
  EndpointStatus outcome = EndpointStatus::NoResponse;
  size_t length = 0;
  if (!state.failed) {
    std::span<uint8_t> bytes = PacketSpan(transfer, k);
    if (IsIn(pipe)) {
      const auto result = device.unit_->IsoIn(pipe.address, bytes.first(std::min<size_t>(bytes.size(), pipe.maxPacket)));
      outcome = result.status;
      length = result.length;
    } else {
      outcome = device.unit_->IsoOut(pipe.address, bytes);
      length = bytes.size();
    }
  }
  switch (outcome) {
    case EndpointStatus::Ok:
    case EndpointStatus::Malformed:  // isochronous OUT has no handshake
      packet.Status = USBD_STATUS_SUCCESS;
      break;
    case EndpointStatus::Babble:
      packet.Status = USBD_STATUS_BABBLE_DETECTED;
      break;
    case EndpointStatus::Stalled:
      if (Dequeue(irp)) Finish(device, irp, USBD_STATUS_STALL_PID, done);
      Halt(device, pipe, done);
      return;
    case EndpointStatus::NotActive:
      packet.Status = USBD_STATUS_DEV_NOT_RESPONDING;
      break;
    default:
      packet.Status = USBD_STATUS_XACT_ERROR;
      length = 0;
      break;
  }
  if (IsIn(pipe)) packet.Length = static_cast<ULONG>(length);
  if (packet.Status != USBD_STATUS_SUCCESS) ++state.errors;

  // Complete at the end of the last packet's microframe.
  if (k + 1 == transfer.NumberOfPackets && Dequeue(irp)) {
    transfer.ErrorCount = state.errors;
    Finish(device, irp,
           state.errors == transfer.NumberOfPackets ? USBD_STATUS_ISOCH_REQUEST_FAILED
                                                    : USBD_STATUS_SUCCESS,
           done);
  }
}

void HostController::RunBulk(AttachedUnit& device, Pipe& pipe, PIRP irp, DoneList* done) {
  PURB urb = UrbOf(irp);
  auto& transfer = urb->UrbBulkOrInterruptTransfer;
  TransferState& state = StateOf(urb);
  sim::unit::TarvikUnit& unit = *device.unit_;
  if (!state.started) {
    state.started = true;
    if (unit.TakeTransferFailure(pipe.address)) {
      if (Dequeue(irp)) Finish(device, irp, USBD_STATUS_XACT_ERROR, done);
      return;
    }
  }
  const std::span<uint8_t> buffer{static_cast<uint8_t*>(transfer.TransferBuffer),
                                  transfer.TransferBufferLength};
  using sim::unit::EndpointStatus;
  EndpointStatus outcome;
  if (IsIn(pipe)) {
    // An IN request waits, NAKed, until the unit has something to send.
    if (!unit.IsHalted(pipe.address) && !unit.BulkInReady(pipe.address)) return;
    if (!Dequeue(irp)) return;
    const auto result = unit.BulkIn(pipe.address, buffer);
    outcome = result.status;
    transfer.TransferBufferLength = static_cast<ULONG>(result.length);
  } else {
    if (!Dequeue(irp)) return;
    outcome = unit.BulkOut(pipe.address, buffer);
  }
  switch (outcome) {
    case EndpointStatus::Ok:
    case EndpointStatus::Nak:
      Finish(device, irp,
             IsIn(pipe) && transfer.TransferBufferLength < buffer.size() &&
                     !(transfer.TransferFlags & USBD_SHORT_TRANSFER_OK)
                 ? USBD_STATUS_ERROR_SHORT_TRANSFER
                 : USBD_STATUS_SUCCESS,
             done);
      return;
    case EndpointStatus::Stalled:
      transfer.TransferBufferLength = 0;
      Finish(device, irp, USBD_STATUS_STALL_PID, done);
      Halt(device, pipe, done);
      return;
    default:
      transfer.TransferBufferLength = 0;
      Finish(device, irp, USBD_STATUS_DEV_NOT_RESPONDING, done);
      return;
  }
}

// The endpoint stalled: everything behind the failed request fails too,
// and new requests fail until the pipe is reset.
void HostController::Halt(AttachedUnit& device, Pipe& pipe, DoneList* done) {
  pipe.halted = true;
  pipe.continues = false;
  FlushQueue(device, pipe, USBD_STATUS_ENDPOINT_HALTED, done);
}

void HostController::FlushQueue(AttachedUnit& device, Pipe& pipe, USBD_STATUS status, DoneList* done) {
  for (PLIST_ENTRY entry = pipe.queue.Flink; entry != &pipe.queue;) {
    PIRP irp = IrpOf(entry);
    entry = entry->Flink;
    if (Dequeue(irp)) Finish(device, irp, status, done);
  }
}

// Takes a queued request off its pipe unless its cancel routine is already
// running, in which case the cancel routine completes it.
bool HostController::Dequeue(PIRP irp) {
  if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  StateOf(UrbOf(irp)).queued = false;
  TransferLeftLocked();
  return true;
}

// The clock stops with the last queued transfer, so a driver that has
// cancelled everything leaves no timer of ours behind when it unloads.
void HostController::TransferLeftLocked() {
  if (--queuedTransfers_ != 0 || !clockRunning_) return;
  KeCancelTimer(&frameTimer_);
  clockRunning_ = false;
}

void HostController::Finish(AttachedUnit& device, PIRP irp, USBD_STATUS status, DoneList* done) {
  PURB urb = UrbOf(irp);
  urb->UrbHeader.Status = status;
  irp->IoStatus.Status = NtStatusFromUsbd(status);
  irp->IoStatus.Information = 0;
  CaptureUrb(device, device.pipes_[StateOf(urb).pipe], irp, true);
  InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

VOID HostController::CancelTransfer(PDEVICE_OBJECT pdo, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  DeviceOf(pdo).controller().CancelQueued(irp);
}

void HostController::CancelQueued(PIRP irp) {
  AttachedUnit& device = DeviceOf(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
  DoneList done;
  InitializeListHead(&done);
  KIRQL irql;
  KeAcquireSpinLock(&scheduleLock_, &irql);
  TransferState& state = StateOf(UrbOf(irp));
  if (state.queued) {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    state.queued = false;
    TransferLeftLocked();
    Finish(device, irp, USBD_STATUS_CANCELED, &done);
  }
  KeReleaseSpinLock(&scheduleLock_, irql);
  CompleteAll(&done);
}

// Completion runs at DISPATCH_LEVEL, as from the controller's DPC.
void HostController::CompleteAll(DoneList* done) {
  if (IsListEmpty(done)) return;
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  while (!IsListEmpty(done)) IoCompleteRequest(IrpOf(RemoveHeadList(done)), IO_NO_INCREMENT);
  KeLowerIrql(irql);
}

// ---- capture ----------------------------------------------------------------

void HostController::CaptureUrb(AttachedUnit& device, const Pipe& pipe, PIRP irp, bool completion) {
  if (!capture_.active()) return;
  PURB urb = UrbOf(irp);
  const auto& transfer = urb->UrbIsochronousTransfer;
  const auto* buffer = static_cast<const uint8_t*>(transfer.TransferBuffer);
  CaptureRecord record;
  record.id = reinterpret_cast<uintptr_t>(urb);
  record.completion = completion;
  record.endpoint = pipe.address;
  record.device = device.address();
  record.bus = static_cast<uint16_t>(index_ + 1);
  record.interval = pipe.interval;
  record.time = machine_.Now();
  record.status = completion ? CaptureErrno(urb->UrbHeader.Status) : kCaptureInProgress;
  record.length = transfer.TransferBufferLength;
  const bool in = IsIn(pipe);
  if (!in && !completion) record.data = {buffer, transfer.TransferBufferLength};

  if (pipe.type != UsbdPipeTypeIsochronous) {
    record.transfer = pipe.type == UsbdPipeTypeBulk ? CaptureTransfer::Bulk : CaptureTransfer::Interrupt;
    if (in && completion) record.data = {buffer, transfer.TransferBufferLength};
    capture_.Write(record);
    return;
  }
  record.transfer = CaptureTransfer::Isochronous;
  record.startFrame = static_cast<int32_t>(transfer.StartFrame);
  record.errorCount = transfer.ErrorCount;
  capturePackets_.resize(transfer.NumberOfPackets);
  uint32_t actual = 0;
  uint32_t extent = 0;
  for (ULONG k = 0; k < transfer.NumberOfPackets; ++k) {
    const auto& packet = transfer.IsoPacket[k];
    const uint32_t length = in ? packet.Length : static_cast<uint32_t>(PacketSpan(transfer, k).size());
    capturePackets_[k] = {completion ? CaptureErrno(packet.Status) : kCapturePartial, packet.Offset, length};
    actual += length;
    extent = std::max(extent, packet.Offset + length);
  }
  record.packets = capturePackets_;
  if (completion) {
    record.length = actual;
    if (in) record.data = {buffer, extent};
  }
  capture_.Write(record);
}

}  // namespace sim::usb
