// The dispatcher: one lock per machine guards every dispatcher object's
// signal state and wait list, the timer list, the DPC queue and the count of
// runnable simulated threads. In virtual time the clock moves only when that
// count reaches zero: it jumps to the earliest due timer and expires it.
//
// Lock order: the dispatcher lock is innermost. Nothing that can call back
// into a driver runs under it; timer expiry only signals objects and queues
// DPCs, which run later on a DPC processor thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <source_location>
#include <string>
#include <thread>
#include <vector>

#include <wdm.h>

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

// A thread of the machine. Threads the platform creates and threads that
// registered themselves are "simulated": the dispatcher counts them as
// runnable until they block in a platform wait.
struct _KTHREAD {
  DISPATCHER_HEADER Header;  // signalled when the thread ends

  sim::Machine* machine = nullptr;
  sim::Process* process = nullptr;
  ULONG id = 0;
  KPRIORITY priority = 8;
  bool simulated = false;
  bool internal = false;  // DPC processors: not reported by the leak check
  bool objectBacked = false;  // allocated by the object manager
  std::string name;

  // Wait state, guarded by the dispatcher lock.
  bool waiting = false;
  NTSTATUS waitStatus = STATUS_SUCCESS;
  WAIT_TYPE waitType = WaitAny;
  ULONG waitCount = 0;
  KWAIT_BLOCK waitBlocks[MAXIMUM_WAIT_OBJECTS];
  KTIMER waitTimer;  // the timeout of the current wait
  std::condition_variable wake;

  // Life cycle.
  PKSTART_ROUTINE startRoutine = nullptr;
  PVOID startContext = nullptr;
  NTSTATUS exitStatus = STATUS_SUCCESS;
  bool terminated = false;
  // Set by the trampoline once the thread no longer touches its object.
  std::atomic<bool> finished{false};
};

struct _ETHREAD : _KTHREAD {};

namespace sim {

class Dispatcher {
 public:
  Dispatcher(Machine& machine, const MachineOptions& options);
  ~Dispatcher();

  std::mutex& lock() { return lock_; }
  uint64_t Now() const;
  uint64_t SystemTimeBase() const { return kSystemTimeBase; }

  // Thread accounting; all with the lock held.
  void AddRunnableLocked(PKTHREAD thread);
  int runnableCount() const { return runnable_; }
  // Stops virtual time for teardown, so nothing expires any more.
  void Freeze();

  // Waits as KeWaitForMultipleObjects does. `timeout` null waits forever;
  // negative is relative, positive absolute system time.
  NTSTATUS Wait(PKTHREAD self, ULONG count, PVOID objects[], WAIT_TYPE type,
                const LARGE_INTEGER* timeout,
                const std::source_location& caller = std::source_location::current());
  // Signals an event the platform owns.
  void SetEventLocked(PKEVENT event);
  // After an object's SignalState became positive: satisfy its waiters.
  void SignalLocked(DISPATCHER_HEADER* header);

  bool SetTimer(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc);
  bool CancelTimer(PKTIMER timer);
  bool InsertDpc(PKDPC dpc, PVOID argument1, PVOID argument2);
  bool RemoveDpc(PKDPC dpc);
  void FlushDpcs(PKTHREAD self);

  // Thread ends: signal its object and stop counting it.
  void ThreadExited(PKTHREAD thread);

  void StartDpcProcessors();
  void StopDpcProcessors();
  unsigned dpcProcessorOf(PKTHREAD thread) const;

  // OS threads behind simulated threads: joined once finished, or all at
  // teardown. Tracking holds a reference on the thread object.
  void TrackThread(PKTHREAD thread, std::thread os);
  void ReapThreads(bool all);
  std::vector<std::string> RunningThreads();

  // Verifier support.
  bool RangeHoldsActiveObject(const void* base, size_t size, std::string* what);
  std::vector<std::string> ActiveTimers();

 private:
  static constexpr uint64_t kSystemTimeBase = 133'800'000'000'000'000ULL;  // a day in 2025

  void InsertTimerLocked(PKTIMER timer);
  void RemoveTimerLocked(PKTIMER timer);
  void ExpireTimerLocked(PKTIMER timer);
  bool InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2);
  void UnwaitLocked(PKTHREAD thread, NTSTATUS status);
  bool IsSignalled(DISPATCHER_HEADER* header, PKTHREAD thread) const;
  void ConsumeLocked(DISPATCHER_HEADER* header);
  void BlockLocked(PKTHREAD self, std::unique_lock<std::mutex>& held);
  void MaybeAdvanceLocked();
  void AdvanceOnceLocked();
  void ExpireDueLocked(uint64_t now);
  void ClockThreadMain();
  void DpcProcessorMain(unsigned index);
  void UpdateDpcIdleLocked();

  Machine& machine_;
  const bool virtual_;
  std::mutex lock_;
  int runnable_ = 0;
  std::atomic<uint64_t> virtualNow_{0};
  std::chrono::steady_clock::time_point realStart_;
  LIST_ENTRY timers_;  // sorted by due time, FIFO among equals

  // DPC queue and processors.
  LIST_ENTRY dpcQueue_;
  KEVENT dpcPending_;  // synchronization: wakes one idle processor
  KEVENT dpcIdle_;     // notification: queue empty and nothing running
  int dpcsRunning_ = 0;
  bool stopDpcs_ = false;
  unsigned dpcCount_;
  std::vector<PKTHREAD> dpcThreads_;
  std::vector<std::thread> dpcOsThreads_;

  struct TrackedThread {
    PKTHREAD thread;
    std::thread os;
  };
  std::mutex threadsLock_;  // guards threads_; taken before lock_, never inside it
  std::vector<TrackedThread> threads_;

  // Real-time clock.
  std::condition_variable clockWake_;
  bool stopClock_ = false;
  bool frozen_ = false;
  std::thread clockThread_;
};

// The calling thread's state: machine, thread object and IRQL.
// Marks dispatcher objects set up by their Ke initialiser.
constexpr UCHAR kInitializedMark = 0xA5;
// DISPATCHER_HEADER.Type of a thread's private timeout timer.
constexpr UCHAR kWaitTimerType = 0x7E;

struct ThreadState {
  Machine* machine = nullptr;
  PKTHREAD thread = nullptr;
  KIRQL irql = PASSIVE_LEVEL;
  KIRQL baseIrql = PASSIVE_LEVEL;  // a DPC may not lower below DISPATCH_LEVEL
};
ThreadState& CurrentThreadState();

// The calling thread's object, creating an unsimulated one for a foreign
// thread that waits.
PKTHREAD CurrentThreadForWait();

// Creates a simulated thread of the machine running `routine(context)`.
// `handle` receives a handle when not null.
NTSTATUS CreateSimulatedThread(Machine& machine, Process* process, PKSTART_ROUTINE routine,
                               PVOID context, bool internal, const char* name, PKTHREAD* thread);

// A simulated thread running a function, for tests and tools: counted as
// runnable from construction (so virtual time cannot run ahead of it before
// it starts), a thread of `process` (the user process by default). Join
// waits through the dispatcher; the destructor joins.
class SimulatedThread {
 public:
  SimulatedThread(Machine& machine, std::function<void()> body, Process* process = nullptr);
  ~SimulatedThread();
  SimulatedThread(const SimulatedThread&) = delete;
  SimulatedThread& operator=(const SimulatedThread&) = delete;
  void Join();

 private:
  Machine& machine_;
  std::function<void()> body_;
  PKTHREAD thread_ = nullptr;
};

}  // namespace sim
