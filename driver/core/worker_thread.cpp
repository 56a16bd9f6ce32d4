#include "driver/core/worker_thread.h"

VOID CWorkerThread::Initialize(PVOID owner) {
  Running = 0;
  Thread = nullptr;
  for (ULONG i = 0; i < kEventCount; ++i) {
    KeInitializeEvent(&Events[i], SynchronizationEvent, FALSE);
    EventObjects[i] = &Events[i];
  }
  OwnerObject = owner;
}

BOOLEAN CWorkerThread::Start() {
  if (Running) {
    return FALSE;
  }
  HANDLE handle = nullptr;
  NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                         &CWorkerThread::ThreadRoutine, this);
  if (!NT_SUCCESS(status)) {
    return FALSE;
  }
  PVOID object = nullptr;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object,
                                     nullptr);
  ZwClose(handle);
  // Without the object Stop cannot wait for the thread; it still ends at
  // event 0.
  Thread = NT_SUCCESS(status) ? static_cast<PETHREAD>(object) : nullptr;
  Running = 1;
  return TRUE;
}

VOID CWorkerThread::Stop() {
  if (!Running) {
    // A signal left on event 0 would end the next thread as soon as it
    // starts.
    return;
  }
  KeSetEvent(&Events[0], IO_NO_INCREMENT, FALSE);
  if (Thread) {
    KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(Thread);
    Thread = nullptr;
  }
  Running = 0;
}

VOID CWorkerThread::Signal(ULONG eventIndex) {
  if (eventIndex < kEventCount) {
    KeSetEvent(&Events[eventIndex], IO_NO_INCREMENT, FALSE);
  }
}

VOID CWorkerThread::Run() {
  KeSetPriorityThread(KeGetCurrentThread(), 16);
  for (;;) {
    NTSTATUS status = KeWaitForMultipleObjects(kEventCount, EventObjects, WaitAny, Executive,
                                               KernelMode, FALSE, nullptr, nullptr);
    if (status == STATUS_WAIT_0) {
      if (!OnEvent0()) {
        return;
      }
    } else if (status == STATUS_WAIT_1) {
      OnEvent1();
    } else if (status == STATUS_WAIT_2) {
      OnEvent2();
    }
  }
}

VOID CWorkerThread::ThreadRoutine(PVOID context) {
  static_cast<CWorkerThread*>(context)->Run();
  PsTerminateSystemThread(STATUS_SUCCESS);
}
