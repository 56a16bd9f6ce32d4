// A system thread that waits on three events and calls one handler per
// event. Two subclasses: the USB pipe worker (MIDI pipe recovery) and the
// engine worker (power requests, engine commands, restart flags).
//
// Start and Stop run at PASSIVE_LEVEL and are not reentrant: their callers
// serialise them (the pipe event, the engine's attach lock). Signal may be
// called at any IRQL up to DISPATCH_LEVEL.
#pragma once

#include <wdm.h>

class CWorkerThread {
 public:
  static constexpr ULONG kEventCount = 3;

  // Zeroed memory is a valid "not initialised" state; Initialize makes the
  // three synchronization events (not signalled) and clears the running flag.
  VOID Initialize(PVOID owner);

  // False when already running or when the thread cannot be created.
  BOOLEAN Start();
  // Signals event 0 and waits for the thread to end.
  VOID Stop();
  VOID Signal(ULONG eventIndex);

  BOOLEAN IsRunning() const { return Running != 0; }
  PVOID Owner() const { return OwnerObject; }
  VOID SetOwner(PVOID owner) { OwnerObject = owner; }

 protected:
  virtual ~CWorkerThread() = default;
  // Raises the thread to priority 16 and dispatches events until OnEvent0
  // returns FALSE.
  virtual VOID Run();
  virtual BOOLEAN OnEvent0() = 0;
  virtual VOID OnEvent1() = 0;
  virtual VOID OnEvent2() = 0;

 private:
  static VOID ThreadRoutine(PVOID context);

  LONG Running;
  PETHREAD Thread;
  KEVENT Events[kEventCount];
  PVOID EventObjects[kEventCount];
  PVOID OwnerObject;
};
