// Dispatcher: waits, signalling, timers, DPC queue and the clock.
// Every routine here takes or expects the dispatcher lock (see dispatcher.h).

#include "platform/sim/dispatcher.h"

#include <algorithm>

#include "platform/sim/verifier.h"

namespace sim {

namespace {

bool IsSynchronizationObject(const DISPATCHER_HEADER* header) {
  return header->Type == EventSynchronizationObject || header->Type == TimerSynchronizationObject;
}

void InitInternalEvent(PKEVENT event, EVENT_TYPE type, bool state) {
  event->Header.Type = type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
  event->Header.SignalState = state ? 1 : 0;
  event->Header.Initialized = kInitializedMark;
  InitializeListHead(&event->Header.WaitListHead);
}

struct DpcProcessorStart {
  Dispatcher* dispatcher;
  unsigned index;
};

}  // namespace

Dispatcher::Dispatcher(Machine& machine, const MachineOptions& options)
    : machine_(machine),
      virtual_(options.clock == ClockMode::Virtual),
      realStart_(std::chrono::steady_clock::now()),
      dpcCount_(std::max(1u, options.dpcProcessors)) {
  InitializeListHead(&timers_);
  InitializeListHead(&dpcQueue_);
  InitInternalEvent(&dpcPending_, SynchronizationEvent, false);
  InitInternalEvent(&dpcIdle_, NotificationEvent, true);
  if (!virtual_) clockThread_ = std::thread([this] { ClockThreadMain(); });
}

Dispatcher::~Dispatcher() {
  if (clockThread_.joinable()) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopClock_ = true;
    }
    clockWake_.notify_all();
    clockThread_.join();
  }
}

uint64_t Dispatcher::Now() const {
  if (virtual_) return virtualNow_.load(std::memory_order_acquire);
  auto elapsed = std::chrono::steady_clock::now() - realStart_;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
}

void Dispatcher::Freeze() {
  std::lock_guard<std::mutex> guard(lock_);
  frozen_ = true;
}

void Dispatcher::AddRunnableLocked(PKTHREAD thread) {
  if (thread->simulated) ++runnable_;
}

// ---------------------------------------------------------------------------
// Waiting and signalling

bool Dispatcher::IsSignalled(DISPATCHER_HEADER* header, PKTHREAD) const {
  return header->SignalState > 0;
}

void Dispatcher::ConsumeLocked(DISPATCHER_HEADER* header) {
  if (IsSynchronizationObject(header)) header->SignalState = 0;
}

void Dispatcher::UnwaitLocked(PKTHREAD thread, NTSTATUS status) {
  for (ULONG i = 0; i < thread->waitCount; ++i) RemoveEntryList(&thread->waitBlocks[i].WaitListEntry);
  thread->waitCount = 0;
  if (thread->waitTimer.Header.Inserted) RemoveTimerLocked(&thread->waitTimer);
  thread->waiting = false;
  thread->waitStatus = status;
  if (thread->simulated) ++runnable_;
  thread->wake.notify_one();
}

void Dispatcher::SignalLocked(DISPATCHER_HEADER* header) {
  PLIST_ENTRY entry = header->WaitListHead.Flink;
  while (entry != &header->WaitListHead && header->SignalState > 0) {
    PKWAIT_BLOCK block = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
    PKTHREAD thread = block->Thread;
    bool satisfied = false;
    if (thread->waitType == WaitAny) {
      ConsumeLocked(header);
      UnwaitLocked(thread, STATUS_WAIT_0 + block->WaitKey);
      satisfied = true;
    } else {
      bool all = true;
      for (ULONG i = 0; i < thread->waitCount && all; ++i)
        all = IsSignalled(static_cast<DISPATCHER_HEADER*>(thread->waitBlocks[i].Object), thread);
      if (all) {
        for (ULONG i = 0; i < thread->waitCount; ++i)
          ConsumeLocked(static_cast<DISPATCHER_HEADER*>(thread->waitBlocks[i].Object));
        UnwaitLocked(thread, STATUS_WAIT_0);
        satisfied = true;
      }
    }
    // Unwaiting edits this list; start again from its head.
    entry = satisfied ? header->WaitListHead.Flink : entry->Flink;
  }
}

void Dispatcher::SetEventLocked(PKEVENT event) {
  event->Header.SignalState = 1;
  SignalLocked(&event->Header);
}

NTSTATUS Dispatcher::Wait(PKTHREAD self, ULONG count, PVOID objects[], WAIT_TYPE type,
                          const LARGE_INTEGER* timeout, const std::source_location& caller) {
  std::unique_lock<std::mutex> held(lock_);
  for (ULONG i = 0; i < count; ++i) {
    auto* header = static_cast<DISPATCHER_HEADER*>(objects[i]);
    if (header == nullptr || header->Initialized != kInitializedMark)
      VerifierFail(rule::kObjectUninitialized, "wait on an object that was never initialised", caller);
  }
  if (count > 0) {
    if (type == WaitAny) {
      for (ULONG i = 0; i < count; ++i) {
        auto* header = static_cast<DISPATCHER_HEADER*>(objects[i]);
        if (IsSignalled(header, self)) {
          ConsumeLocked(header);
          return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < count && all; ++i)
        all = IsSignalled(static_cast<DISPATCHER_HEADER*>(objects[i]), self);
      if (all) {
        for (ULONG i = 0; i < count; ++i) ConsumeLocked(static_cast<DISPATCHER_HEADER*>(objects[i]));
        return STATUS_WAIT_0;
      }
    }
  }
  if (timeout != nullptr && timeout->QuadPart == 0) return STATUS_TIMEOUT;

  self->waitType = type;
  self->waitCount = count;
  for (ULONG i = 0; i < count; ++i) {
    PKWAIT_BLOCK block = &self->waitBlocks[i];
    block->Thread = self;
    block->Object = objects[i];
    block->WaitKey = static_cast<USHORT>(i);
    block->WaitType = static_cast<UCHAR>(type);
    InsertTailList(&static_cast<DISPATCHER_HEADER*>(objects[i])->WaitListHead, &block->WaitListEntry);
  }
  if (timeout != nullptr) {
    PKTIMER timer = &self->waitTimer;
    timer->Header.Type = kWaitTimerType;
    timer->Header.Initialized = kInitializedMark;
    InitializeListHead(&timer->Header.WaitListHead);
    uint64_t now = Now();
    uint64_t due;
    if (timeout->QuadPart < 0) {
      due = now + static_cast<uint64_t>(-timeout->QuadPart);
    } else {
      uint64_t absolute = static_cast<uint64_t>(timeout->QuadPart);
      due = absolute > kSystemTimeBase ? absolute - kSystemTimeBase : 0;
      due = std::max(due, now);
    }
    timer->DueTime.QuadPart = due;
    timer->Period = 0;
    timer->Dpc = nullptr;
    InsertTimerLocked(timer);
  }
  self->waiting = true;
  BlockLocked(self, held);
  return self->waitStatus;
}

void Dispatcher::BlockLocked(PKTHREAD self, std::unique_lock<std::mutex>& held) {
  if (self->simulated) {
    --runnable_;
    MaybeAdvanceLocked();
  }
  while (self->waiting) self->wake.wait(held);
}

// ---------------------------------------------------------------------------
// Timers and the clock

void Dispatcher::InsertTimerLocked(PKTIMER timer) {
  PLIST_ENTRY entry = timers_.Flink;
  while (entry != &timers_) {
    PKTIMER other = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    if (other->DueTime.QuadPart > timer->DueTime.QuadPart) break;
    entry = entry->Flink;
  }
  // Insert before `entry`.
  InsertTailList(entry, &timer->TimerListEntry);
  timer->Header.Inserted = 1;
  if (!virtual_ && timers_.Flink == &timer->TimerListEntry) clockWake_.notify_one();
}

void Dispatcher::RemoveTimerLocked(PKTIMER timer) {
  RemoveEntryList(&timer->TimerListEntry);
  timer->Header.Inserted = 0;
}

void Dispatcher::ExpireTimerLocked(PKTIMER timer) {
  RemoveTimerLocked(timer);
  if (timer->Header.Type == kWaitTimerType) {
    PKTHREAD thread = CONTAINING_RECORD(timer, _KTHREAD, waitTimer);
    if (thread->waiting) UnwaitLocked(thread, STATUS_TIMEOUT);
    return;
  }
  timer->Header.SignalState = 1;
  SignalLocked(&timer->Header);
  if (timer->Dpc != nullptr) {
    ULARGE_INTEGER systemTime;
    systemTime.QuadPart = kSystemTimeBase + timer->DueTime.QuadPart;
    InsertDpcLocked(timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.LowPart)),
                    reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime.HighPart)));
  }
  if (timer->Period > 0) {
    timer->DueTime.QuadPart += static_cast<uint64_t>(timer->Period) * 10'000;
    InsertTimerLocked(timer);
  }
}

void Dispatcher::ExpireDueLocked(uint64_t now) {
  while (!IsListEmpty(&timers_)) {
    PKTIMER first = CONTAINING_RECORD(timers_.Flink, KTIMER, TimerListEntry);
    if (first->DueTime.QuadPart > now) break;
    ExpireTimerLocked(first);
  }
}

void Dispatcher::AdvanceOnceLocked() {
  PKTIMER first = CONTAINING_RECORD(timers_.Flink, KTIMER, TimerListEntry);
  uint64_t now = std::max<uint64_t>(virtualNow_.load(std::memory_order_relaxed), first->DueTime.QuadPart);
  virtualNow_.store(now, std::memory_order_release);
  ExpireDueLocked(now);
}

void Dispatcher::MaybeAdvanceLocked() {
  if (!virtual_ || frozen_) return;
  while (runnable_ == 0 && !IsListEmpty(&timers_)) AdvanceOnceLocked();
}

void Dispatcher::ClockThreadMain() {
  std::unique_lock<std::mutex> held(lock_);
  while (!stopClock_) {
    if (frozen_ || IsListEmpty(&timers_)) {
      clockWake_.wait(held);
      continue;
    }
    PKTIMER first = CONTAINING_RECORD(timers_.Flink, KTIMER, TimerListEntry);
    uint64_t due = first->DueTime.QuadPart;
    uint64_t now = Now();
    if (due <= now) {
      ExpireDueLocked(now);
      continue;
    }
    clockWake_.wait_until(held, realStart_ + std::chrono::nanoseconds(due * 100));
  }
}

bool Dispatcher::SetTimer(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc) {
  std::unique_lock<std::mutex> held(lock_);
  bool wasSet = timer->Header.Inserted != 0;
  if (wasSet) RemoveTimerLocked(timer);
  timer->Header.SignalState = 0;
  uint64_t now = Now();
  uint64_t due;
  if (dueTime.QuadPart < 0) {
    due = now + static_cast<uint64_t>(-dueTime.QuadPart);
  } else {
    uint64_t absolute = static_cast<uint64_t>(dueTime.QuadPart);
    due = std::max(absolute > kSystemTimeBase ? absolute - kSystemTimeBase : 0, now);
  }
  timer->DueTime.QuadPart = due;
  timer->Period = period;
  timer->Dpc = dpc;
  InsertTimerLocked(timer);
  if (due <= now) ExpireDueLocked(now);
  MaybeAdvanceLocked();
  return wasSet;
}

bool Dispatcher::CancelTimer(PKTIMER timer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!timer->Header.Inserted) return false;
  RemoveTimerLocked(timer);
  return true;
}

std::vector<std::string> Dispatcher::ActiveTimers() {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::string> result;
  for (PLIST_ENTRY entry = timers_.Flink; entry != &timers_; entry = entry->Flink) {
    PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    if (timer->Header.Type == kWaitTimerType) continue;
    char text[96];
    snprintf(text, sizeof text, "timer %p due at %llu%s", static_cast<void*>(timer),
             static_cast<unsigned long long>(timer->DueTime.QuadPart), timer->Period ? " (periodic)" : "");
    result.emplace_back(text);
  }
  return result;
}

bool Dispatcher::RangeHoldsActiveObject(const void* base, size_t size, std::string* what) {
  auto inside = [&](const void* p) {
    auto b = reinterpret_cast<uintptr_t>(base);
    auto a = reinterpret_cast<uintptr_t>(p);
    return a >= b && a < b + size;
  };
  std::lock_guard<std::mutex> guard(lock_);
  for (PLIST_ENTRY entry = timers_.Flink; entry != &timers_; entry = entry->Flink) {
    PKTIMER timer = CONTAINING_RECORD(entry, KTIMER, TimerListEntry);
    if (inside(timer)) {
      *what = "a timer that is still set";
      return true;
    }
  }
  for (PLIST_ENTRY entry = dpcQueue_.Flink; entry != &dpcQueue_; entry = entry->Flink) {
    if (inside(CONTAINING_RECORD(entry, KDPC, DpcListEntry))) {
      *what = "a DPC that is still queued";
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// DPCs

bool Dispatcher::InsertDpcLocked(PKDPC dpc, PVOID argument1, PVOID argument2) {
  if (dpc->DpcData != nullptr) return false;
  dpc->DpcData = this;
  dpc->SystemArgument1 = argument1;
  dpc->SystemArgument2 = argument2;
  InsertTailList(&dpcQueue_, &dpc->DpcListEntry);
  dpcIdle_.Header.SignalState = 0;
  SetEventLocked(&dpcPending_);
  return true;
}

bool Dispatcher::InsertDpc(PKDPC dpc, PVOID argument1, PVOID argument2) {
  std::lock_guard<std::mutex> guard(lock_);
  return InsertDpcLocked(dpc, argument1, argument2);
}

bool Dispatcher::RemoveDpc(PKDPC dpc) {
  std::lock_guard<std::mutex> guard(lock_);
  if (dpc->DpcData == nullptr) return false;
  RemoveEntryList(&dpc->DpcListEntry);
  dpc->DpcData = nullptr;
  UpdateDpcIdleLocked();
  return true;
}

void Dispatcher::UpdateDpcIdleLocked() {
  if (IsListEmpty(&dpcQueue_) && dpcsRunning_ == 0)
    SetEventLocked(&dpcIdle_);
  else
    dpcIdle_.Header.SignalState = 0;
}

void Dispatcher::FlushDpcs(PKTHREAD self) {
  PVOID object = &dpcIdle_;
  Wait(self, 1, &object, WaitAny, nullptr);
}

void Dispatcher::DpcProcessorMain(unsigned index) {
  ThreadState& state = CurrentThreadState();
  PKTHREAD self = state.thread;
  (void)index;
  for (;;) {
    PKDPC dpc = nullptr;
    PKDEFERRED_ROUTINE routine;
    PVOID context, argument1, argument2;
    {
      std::unique_lock<std::mutex> held(lock_);
      while (IsListEmpty(&dpcQueue_) && !stopDpcs_) {
        held.unlock();
        PVOID object = &dpcPending_;
        Wait(self, 1, &object, WaitAny, nullptr);
        held.lock();
      }
      if (IsListEmpty(&dpcQueue_)) {
        SetEventLocked(&dpcPending_);  // let the next processor see the stop too
        return;
      }
      dpc = CONTAINING_RECORD(RemoveHeadList(&dpcQueue_), KDPC, DpcListEntry);
      dpc->DpcData = nullptr;
      routine = dpc->DeferredRoutine;
      context = dpc->DeferredContext;
      argument1 = dpc->SystemArgument1;
      argument2 = dpc->SystemArgument2;
      ++dpcsRunning_;
      UpdateDpcIdleLocked();
      if (!IsListEmpty(&dpcQueue_)) SetEventLocked(&dpcPending_);
    }
    state.irql = DISPATCH_LEVEL;
    state.baseIrql = DISPATCH_LEVEL;
    routine(dpc, context, argument1, argument2);
    if (state.irql != DISPATCH_LEVEL) {
      char detail[96];
      snprintf(detail, sizeof detail, "DPC routine %p returned at IRQL %d",
               reinterpret_cast<void*>(routine), state.irql);
      VerifierFail(rule::kDpcIrql, detail);
    }
    std::lock_guard<std::mutex> guard(lock_);
    --dpcsRunning_;
    UpdateDpcIdleLocked();
  }
}

void Dispatcher::StartDpcProcessors() {
  for (unsigned i = 0; i < dpcCount_; ++i) {
    auto* start = new DpcProcessorStart{this, i};
    PKTHREAD thread = nullptr;
    char name[32];
    snprintf(name, sizeof name, "DPC processor %u", i);
    CreateSimulatedThread(
        machine_, &machine_.objects().systemProcess(),
        [](PVOID context) {
          auto* s = static_cast<DpcProcessorStart*>(context);
          Dispatcher* dispatcher = s->dispatcher;
          unsigned index = s->index;
          delete s;
          dispatcher->DpcProcessorMain(index);
          CurrentThreadState().irql = PASSIVE_LEVEL;
          CurrentThreadState().baseIrql = PASSIVE_LEVEL;
        },
        start, true, name, &thread);
    dpcThreads_.push_back(thread);
  }
}

void Dispatcher::StopDpcProcessors() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopDpcs_ = true;
    SetEventLocked(&dpcPending_);
  }
  for (PKTHREAD thread : dpcThreads_) {
    PVOID object = thread;
    Wait(CurrentThreadForWait(), 1, &object, WaitAny, nullptr);
    machine_.objects().Dereference(thread);
  }
  dpcThreads_.clear();
}

unsigned Dispatcher::dpcProcessorOf(PKTHREAD thread) const {
  for (unsigned i = 0; i < dpcThreads_.size(); ++i)
    if (dpcThreads_[i] == thread) return i;
  return 0;
}

// ---------------------------------------------------------------------------
// Threads

void Dispatcher::ThreadExited(PKTHREAD thread) {
  std::unique_lock<std::mutex> held(lock_);
  thread->terminated = true;
  thread->Header.SignalState = 1;
  SignalLocked(&thread->Header);
  if (thread->simulated) {
    --runnable_;
    MaybeAdvanceLocked();
  }
}

void Dispatcher::TrackThread(PKTHREAD thread, std::thread os) {
  std::lock_guard<std::mutex> guard(threadsLock_);
  threads_.push_back({thread, std::move(os)});
}

void Dispatcher::ReapThreads(bool all) {
  std::vector<TrackedThread> done;
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (all || it->thread->finished.load(std::memory_order_acquire)) {
        done.push_back(std::move(*it));
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& tracked : done) {
    tracked.os.join();
    machine_.objects().Dereference(tracked.thread);
  }
}

std::vector<std::string> Dispatcher::RunningThreads() {
  std::vector<std::string> running;
  std::lock_guard<std::mutex> threads(threadsLock_);
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& tracked : threads_) {
    if (tracked.thread->internal || tracked.thread->terminated) continue;
    char text[160];
    snprintf(text, sizeof text, "thread %lu (%s, start routine %p)",
             static_cast<unsigned long>(tracked.thread->id), tracked.thread->name.c_str(),
             reinterpret_cast<void*>(tracked.thread->startRoutine));
    running.emplace_back(text);
  }
  return running;
}

}  // namespace sim
