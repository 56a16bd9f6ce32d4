// System threads, the calling thread's state, and thread registration.

#include <memory>

#include "platform/sim/dispatcher.h"
#include "platform/sim/verifier.h"

namespace {

struct ThreadTermination {
  NTSTATUS status;
};

std::atomic<ULONG> nextThreadId{8};

void InitThreadObject(PKTHREAD thread, sim::Machine* machine, sim::Process* process) {
  thread->Header.Type = ThreadObject;
  thread->Header.SignalState = 0;
  thread->Header.Initialized = sim::kInitializedMark;
  InitializeListHead(&thread->Header.WaitListHead);
  thread->waitTimer.Header.Inserted = 0;
  thread->machine = machine;
  thread->process = process;
  thread->id = nextThreadId.fetch_add(4);
}

void DeleteThread(PVOID body) { sim::ObjectManager::DestroyBody<_ETHREAD>(body); }

_OBJECT_TYPE threadType = {"Thread", DeleteThread, nullptr, THREAD_ALL_ACCESS};
_OBJECT_TYPE* threadTypePointer = &threadType;

// A foreign OS thread that waits gets an unsimulated thread object of its own.
struct ForeignThread {
  std::unique_ptr<_ETHREAD> thread;
};
thread_local ForeignThread foreignThread;

void ThreadTrampoline(PKTHREAD thread) {
  sim::ThreadState& state = sim::CurrentThreadState();
  state.machine = thread->machine;
  state.thread = thread;
  state.irql = PASSIVE_LEVEL;
  state.baseIrql = PASSIVE_LEVEL;
  NTSTATUS status = STATUS_SUCCESS;
  try {
    thread->startRoutine(thread->startContext);
  } catch (const ThreadTermination& termination) {
    status = termination.status;
  }
  if (state.irql != PASSIVE_LEVEL) {
    char detail[96];
    snprintf(detail, sizeof detail, "thread %lu ended at IRQL %d", static_cast<unsigned long>(thread->id),
             state.irql);
    sim::VerifierFail(sim::rule::kThreadExitIrql, detail);
  }
  thread->exitStatus = status;
  thread->machine->dispatcher().ThreadExited(thread);
  thread->finished.store(true, std::memory_order_release);
  state = sim::ThreadState{};
}

}  // namespace

POBJECT_TYPE* PsThreadType = &threadTypePointer;

namespace sim {

ThreadState& CurrentThreadState() {
  thread_local ThreadState state;
  return state;
}

PKTHREAD CurrentThreadForWait() {
  ThreadState& state = CurrentThreadState();
  if (state.thread != nullptr) return state.thread;
  Machine* machine = Machine::Current();
  if (!foreignThread.thread || foreignThread.thread->machine != machine) {
    foreignThread.thread = std::make_unique<_ETHREAD>();
    InitThreadObject(foreignThread.thread.get(), machine,
                     machine ? &machine->objects().userProcess() : nullptr);
    foreignThread.thread->name = "foreign";
  }
  return foreignThread.thread.get();
}

NTSTATUS CreateSimulatedThread(Machine& machine, Process* process, PKSTART_ROUTINE routine,
                               PVOID context, bool internal, const char* name, PKTHREAD* result) {
  machine.dispatcher().ReapThreads(false);
  _ETHREAD* thread = machine.objects().New<_ETHREAD>(*PsThreadType);
  InitThreadObject(thread, &machine, process);
  thread->simulated = true;
  thread->internal = internal;
  thread->objectBacked = true;
  thread->name = name ? name : "";
  thread->startRoutine = routine;
  thread->startContext = context;
  machine.objects().Reference(thread);  // held by the thread tracking
  {
    std::lock_guard<std::mutex> guard(machine.dispatcher().lock());
    machine.dispatcher().AddRunnableLocked(thread);
  }
  machine.dispatcher().TrackThread(thread, std::thread(ThreadTrampoline, thread));
  *result = thread;
  return STATUS_SUCCESS;
}

PKTHREAD RegisterCurrentThread(Machine& machine, Process* process, const char* name) {
  _ETHREAD* thread = machine.objects().New<_ETHREAD>(*PsThreadType);
  InitThreadObject(thread, &machine, process);
  thread->simulated = true;
  thread->objectBacked = true;
  thread->name = name;
  {
    std::lock_guard<std::mutex> guard(machine.dispatcher().lock());
    machine.dispatcher().AddRunnableLocked(thread);
  }
  ThreadState& state = CurrentThreadState();
  state.machine = &machine;
  state.thread = thread;
  state.irql = PASSIVE_LEVEL;
  state.baseIrql = PASSIVE_LEVEL;
  return thread;
}

void UnregisterCurrentThread(PKTHREAD thread) {
  Machine* machine = thread->machine;
  machine->dispatcher().ThreadExited(thread);
  machine->objects().Dereference(thread);
  CurrentThreadState() = ThreadState{};
}

ThreadScope::ThreadScope(Machine& machine) : machine_(machine), previous_(Machine::Current()) {
  thread_ = RegisterCurrentThread(machine, &machine.objects().userProcess(), "registered");
}

ThreadScope::~ThreadScope() {
  UnregisterCurrentThread(thread_);
  if (previous_ != nullptr && previous_ != &machine_) CurrentThreadState().machine = previous_;
}

SimulatedThread::SimulatedThread(Machine& machine, std::function<void()> body, Process* process)
    : machine_(machine), body_(std::move(body)) {
  CreateSimulatedThread(
      machine, process ? process : &machine.objects().userProcess(),
      [](PVOID context) { static_cast<SimulatedThread*>(context)->body_(); }, this, false, "simulated", &thread_);
}

SimulatedThread::~SimulatedThread() { Join(); }

void SimulatedThread::Join() {
  if (thread_ == nullptr) return;
  PVOID object = thread_;
  machine_.dispatcher().Wait(CurrentThreadForWait(), 1, &object, WaitAny, nullptr);
  machine_.objects().Dereference(thread_);
  thread_ = nullptr;
}

}  // namespace sim

// ---------------------------------------------------------------------------
// Kernel entry points

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE, PCLIENT_ID ClientId,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    sim::VerifierFail(sim::rule::kPassiveOnly, "PsCreateSystemThread above PASSIVE_LEVEL");
  if (ThreadHandle == nullptr || StartRoutine == nullptr) return STATUS_INVALID_PARAMETER;
  sim::Machine& machine = sim::Machine::CurrentChecked();
  PKTHREAD thread = nullptr;
  NTSTATUS status = sim::CreateSimulatedThread(machine, &machine.objects().systemProcess(), StartRoutine,
                                               StartContext, false, "system", &thread);
  if (!NT_SUCCESS(status)) return status;
  bool kernelHandle = (ObjectAttributes && (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE)) ||
                      PsGetCurrentProcess()->isSystem;
  status = machine.objects().CreateHandle(thread, DesiredAccess, kernelHandle, nullptr, ThreadHandle);
  if (ClientId) {
    ClientId->UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread->process->id));
    ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread->id));
  }
  machine.objects().Dereference(thread);
  return status;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) { throw ThreadTermination{ExitStatus}; }

PETHREAD PsGetCurrentThread() { return static_cast<PETHREAD>(sim::CurrentThreadForWait()); }

PKTHREAD KeGetCurrentThread() { return sim::CurrentThreadForWait(); }

PEPROCESS PsGetCurrentProcess() {
  PKTHREAD thread = sim::CurrentThreadState().thread;
  if (thread != nullptr && thread->process != nullptr) return thread->process;
  return &sim::Machine::CurrentChecked().objects().userProcess();
}

HANDLE PsGetCurrentThreadId() {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(sim::CurrentThreadForWait()->id));
}

HANDLE PsGetCurrentProcessId() {
  return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(PsGetCurrentProcess()->id));
}

HANDLE PsGetThreadId(PETHREAD Thread) { return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Thread->id)); }

BOOLEAN PsIsSystemThread(PETHREAD Thread) { return Thread->process && Thread->process->isSystem; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
  KPRIORITY old = Thread->priority;
  Thread->priority = Priority;
  return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) { return Thread->priority; }
