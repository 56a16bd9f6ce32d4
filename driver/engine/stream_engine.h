// The per-unit stream engine as the driver core sees it: initialisation at
// device start, its worker thread, the attach lock that serialises power
// requests with client attach and detach, the power requests, the timer
// tick and teardown. The streaming itself (packet scheduling, clock,
// mix cycles, ASIO service, rate controller) fills these operations in.
//
// Locks: AttachLock is an event used as a mutex, PASSIVE_LEVEL only, taken
// before any engine command. OnTick runs at DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

#include "driver/core/worker_thread.h"
#include "driver/engine/latency.h"
#include "driver/usb/pipe_record.h"
#include "driver/usb/transfer_slot.h"

class CUsbDevice;
class CStreamEngine;

// Event 0: power requests; event 1: engine commands; event 2: restart flags.
class CEngineWorker : public CWorkerThread {
 public:
  CEngineWorker() : StopRequested(0) {}
  // Starts the thread with the stop flag cleared.
  BOOLEAN StartThread();
  // Sets the stop flag, so event 0 ends the thread, and waits for it.
  VOID StopThread();

 protected:
  BOOLEAN OnEvent0() override;
  VOID OnEvent1() override;
  VOID OnEvent2() override;

 private:
  LONG StopRequested;
};

class CStreamEngine {
 public:
  CStreamEngine();

  // Keeps the pipes, the stream configuration and the unit's numbers for
  // the streaming; device start, PASSIVE_LEVEL.
  NTSTATUS InitEngine(CPipeRecord* audioOut, CPipeRecord* audioIn, CUsbDevice* streamConfig,
                      TIMER_RESOLUTION_USERS* timerResolutionUsers, ULONG controlIndex,
                      CUsbDevice* device);
  // Removal: stops the worker and frees the isochronous buffers.
  VOID TeardownEngine();
  // The engine worker's owner is the engine; FALSE when it cannot start.
  BOOLEAN StartWorker();

  VOID AcquireAttachLock();
  VOID ReleaseAttachLock();
  // Attach lock held. Resume returns 0 when the engine could not resume.
  ULONG ResumeEngine();
  VOID SuspendEngine();

  // The engine's time base, from the tick DPC (DISPATCH_LEVEL).
  VOID OnTick(ULONG elapsed);

  LONG RunMode;  // 0 while nothing streams
  KEVENT AttachLock;
  CEngineWorker Worker;
  // The isochronous slots; their contiguous buffers live from device start
  // to removal.
  ISO_OUT_POOL IsoOutPool;
  ISO_IN_POOL IsoInPool;
  CPipeRecord* AudioOut;
  CPipeRecord* AudioIn;
  CUsbDevice* StreamConfig;
  CUsbDevice* Device;
  TIMER_RESOLUTION_USERS* TimerResolutionUsers;
  ULONG ControlIndex;
};
