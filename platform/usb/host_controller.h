// A simulated USB 2.0 host controller and the units on its ports.
//
// Time: frame n (milliseconds) of a controller spans [epoch + n ms,
// epoch + (n + 1) ms) of the machine's interrupt time, counted from the
// controller's own start frame; each frame has eight 125-us microframes.
// While any transfer is queued, a periodic 1 ms KTIMER's DPC runs every
// frame that has ended: it tells each unit the microframe, moves that
// microframe's packets, and completes the requests that ended in it. The
// last transfer to leave the schedule cancels the timer, so with nothing
// queued virtual time runs free.
//
// Lock: `scheduleLock_` (a spin lock, DISPATCH_LEVEL) guards every pipe,
// queue and device state of this controller and is held around calls into
// the units (whose own mutex is a leaf) and the capture (a leaf). It is
// never held while a completion routine runs: finished requests are
// gathered on a list and completed at DISPATCH_LEVEL after it is released.
// A queued request carries a cancel routine; whoever clears it with
// IoSetCancelRoutine owns the request, otherwise the cancel routine does.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <usb.h>
#include <usbioctl.h>
#include <wdm.h>

#include "platform/sim/usb_bus.h"
#include "platform/usb/usbmon_capture.h"

namespace sim::usb {

class HostController;

// One endpoint of an attached unit, as the schedule knows it.
struct Pipe {
  uint8_t address = 0;
  uint8_t interface = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeControl;
  uint16_t maxPacket = 0;
  uint8_t interval = 0;
  bool open = false;        // in the selected configuration and setting
  bool halted = false;      // stalled: transfers fail until a reset
  uint32_t generation = 0;  // in the handle, so a reselection voids old handles
  bool continues = false;   // isochronous ASAP: nextMicroframe is valid
  uint64_t nextMicroframe = 0;
  LIST_ENTRY queue;  // pending IRPs (Tail.Overlay.ListEntry), in start order
};

class AttachedUnit final : public Device {
 public:
  static constexpr size_t kMaxPipes = 8;

  AttachedUnit(HostController& controller, const sim::unit::UnitConfig& config, uint8_t address);

  sim::unit::TarvikUnit& unit() override { return *unit_; }
  PDEVICE_OBJECT pdo() const override { return pdo_; }
  NTSTATUS startStatus() const override { return startStatus_; }
  bool connected() const override;
  void Unplug() override;

  HostController& controller() { return controller_; }
  uint8_t address() const { return address_; }
  bool highSpeed() const { return !unit_->fullSpeed(); }

 private:
  friend class HostController;

  HostController& controller_;
  std::unique_ptr<sim::unit::TarvikUnit> unit_;
  const uint8_t address_;
  std::vector<uint8_t> configurationDescriptor_;  // as enumerated; never changes
  PDEVICE_OBJECT pdo_ = nullptr;
  NTSTATUS startStatus_ = STATUS_PENDING;

  // Guarded by the controller's schedule lock.
  bool gone_ = false;
  uint8_t configuration_ = 0;  // bConfigurationValue, 0 when unconfigured
  uint32_t generation_ = 0;    // source of pipe and configuration generations
  uint32_t configurationGeneration_ = 0;
  std::array<Pipe, kMaxPipes> pipes_;
  size_t pipeCount_ = 0;
  uint64_t unitMicroframe_ = 0;  // the last microframe the unit was told of
};

class HostController final : public Controller {
 public:
  HostController(Machine& machine, unsigned index, std::u16string name, uint32_t startFrame,
                 PDRIVER_OBJECT hubDriver);
  ~HostController() override;

  // Controller
  const std::u16string& name() const override { return name_; }
  uint32_t FrameNumber() const override { return static_cast<uint32_t>(CurrentFrame()); }
  Device& Attach(const sim::unit::UnitConfig& config, const std::u16string& service,
                 const std::function<void(sim::unit::TarvikUnit&)>& prepare) override;
  std::vector<Device*> devices() override;
  void RefuseNameRequests(bool refuse) override { refuseName_.store(refuse); }
  bool RefusesNameRequests() const { return refuseName_.load(); }
  bool StartCapture(const std::string& path) override;
  void StopCapture() override;

  // The bus driver's entry points, at IRQL <= DISPATCH_LEVEL.
  NTSTATUS SubmitUrb(AttachedUnit& device, PIRP irp, PURB urb);
  bool IsConnected(const AttachedUnit& device) const;
  void Unplug(AttachedUnit& device);
  // Removes every device and stops the clock; passive level.
  void Shutdown();

 private:
  using DoneList = LIST_ENTRY;

  // Clock (schedule lock held unless noted).
  uint64_t CurrentFrame() const;  // any IRQL, no lock
  void StartClockLocked();
  static KDEFERRED_ROUTINE FrameDpc;
  void RunEndedFrames();
  void RunMicroframe(AttachedUnit& device, uint64_t microframe, DoneList* done);
  void TellUnitLocked(AttachedUnit& device, uint64_t microframe);

  // Transfers (host_controller.cpp).
  NTSTATUS SubmitTransfer(AttachedUnit& device, PIRP irp, PURB urb);
  USBD_STATUS ScheduleIsochronous(AttachedUnit& device, Pipe& pipe, PURB urb);
  void RunIsoPacket(AttachedUnit& device, Pipe& pipe, PIRP irp, uint64_t microframe, DoneList* done);
  void RunBulk(AttachedUnit& device, Pipe& pipe, PIRP irp, DoneList* done);
  void Halt(AttachedUnit& device, Pipe& pipe, DoneList* done);
  void FlushQueue(AttachedUnit& device, Pipe& pipe, USBD_STATUS status, DoneList* done);
  bool Dequeue(PIRP irp);
  void TransferLeftLocked();
  void Finish(AttachedUnit& device, PIRP irp, USBD_STATUS status, DoneList* done);
  static DRIVER_CANCEL CancelTransfer;
  void CancelQueued(PIRP irp);

  // Default pipe and selections (control_requests.cpp).
  USBD_STATUS RunControlLocked(AttachedUnit& device, PURB urb, DoneList* done);
  USBD_STATUS GetDescriptor(AttachedUnit& device, PURB urb);
  USBD_STATUS VendorOrClass(AttachedUnit& device, PURB urb);
  USBD_STATUS ControlTransfer(AttachedUnit& device, PURB urb);
  USBD_STATUS SelectConfiguration(AttachedUnit& device, PURB urb, DoneList* done);
  USBD_STATUS SelectInterface(AttachedUnit& device, PURB urb, DoneList* done);
  USBD_STATUS ResetPipe(AttachedUnit& device, PURB urb);
  USBD_STATUS AbortPipe(AttachedUnit& device, PURB urb, DoneList* done);
  USBD_STATUS OpenInterface(AttachedUnit& device, PUSBD_INTERFACE_INFORMATION information,
                            const USB_INTERFACE_DESCRIPTOR& descriptor);
  void ClosePipes(AttachedUnit& device, int interface, DoneList* done);
  USBD_STATUS DeviceRequest(AttachedUnit& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                            PVOID buffer, ULONG* length);
  Pipe* FindPipe(AttachedUnit& device, USBD_PIPE_HANDLE handle);

  // Capture of a transfer's submission or completion.
  void CaptureUrb(AttachedUnit& device, const Pipe& pipe, PIRP irp, bool completion);
  void CaptureControl(AttachedUnit& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                      const void* data, ULONG requested, ULONG actual, USBD_STATUS status);

  static void CompleteAll(DoneList* done);

  Machine& machine_;
  const unsigned index_;
  const std::u16string name_;
  const uint32_t startFrame_;
  const uint64_t epoch_;  // interrupt time at which startFrame_ began
  PDRIVER_OBJECT hubDriver_;

  KSPIN_LOCK scheduleLock_ = 0;
  KTIMER frameTimer_;
  KDPC frameDpc_;
  bool clockRunning_ = false;
  uint64_t nextFrame_ = 0;  // the first frame (absolute) not yet run
  size_t queuedTransfers_ = 0;
  uint64_t captureIds_ = 0;
  std::vector<CaptureIsoPacket> capturePackets_;  // reused per record
  UsbmonCapture capture_;

  std::vector<std::unique_ptr<AttachedUnit>> devices_;  // grows at passive level only
  std::atomic<bool> refuseName_{false};
};

// The status a request completes with for a URB status.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

// The unit's driver key under the class key of media devices (created with
// its InfPath value); a unit with the serial of one seen before gets that
// key again unless it is in use. Empty when the registry refuses. Passive.
std::u16string AssignDriverKey(Machine& machine, const std::u16string& serialNumber);
void ReleaseDriverKey(Machine& machine, const std::u16string& path);

}  // namespace sim::usb
