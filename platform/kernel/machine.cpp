// Machine construction and teardown. Teardown order: the user process exits
// (its handles close), services shut down newest first, then the leak check
// looks for threads, timers and kernel handles left behind, the DPC
// processors stop, services are destroyed, and the pool is checked last.

#include "platform/sim/machine.h"

#include <algorithm>

#include "platform/sim/dispatcher.h"
#include "platform/sim/objects.h"
#include "platform/sim/pool.h"
#include "platform/sim/verifier.h"

namespace sim {

PKTHREAD RegisterCurrentThread(Machine& machine, Process* process, const char* name);
void UnregisterCurrentThread(PKTHREAD thread);

namespace {
std::mutex liveMachinesLock;
std::vector<Machine*> liveMachines;

std::string Join(const std::vector<std::string>& items) {
  std::string text;
  for (const auto& item : items) text += (text.empty() ? "" : "; ") + item;
  return text;
}
}  // namespace

Machine::Machine(MachineOptions options) : options_(options) {
  {
    std::lock_guard<std::mutex> guard(liveMachinesLock);
    liveMachines.push_back(this);
  }
  previousCurrent_ = CurrentThreadState().machine;
  pool_ = std::make_unique<Pool>(*this);
  objects_ = std::make_unique<ObjectManager>(*this);
  dispatcher_ = std::make_unique<Dispatcher>(*this, options_);
  mainThread_ = RegisterCurrentThread(*this, &objects_->userProcess(), "main");
  dispatcher_->StartDpcProcessors();
}

Machine::~Machine() {
  objects_->CloseAllHandles(objects_->userProcess());
  for (auto it = services_.rbegin(); it != services_.rend(); ++it) it->instance->Shutdown();

  if (options_.leakCheck) {
    dispatcher_->ReapThreads(false);
    auto running = dispatcher_->RunningThreads();
    if (!running.empty()) VerifierFail(rule::kThreadLeak, Join(running));
    auto timers = dispatcher_->ActiveTimers();
    if (!timers.empty()) VerifierFail(rule::kTimerLeak, Join(timers));
    if (objects_->kernelHandleCount() != 0)
      VerifierFail(rule::kHandleLeak, std::to_string(objects_->kernelHandleCount()) + " kernel handles still open");
  }
  dispatcher_->StopDpcProcessors();
  dispatcher_->Freeze();
  dispatcher_->ReapThreads(true);
  while (!services_.empty()) services_.pop_back();
  objects_->CloseAllHandles(objects_->systemProcess());
  UnregisterCurrentThread(mainThread_);
  if (options_.leakCheck) pool_->CheckNoLeaks();
  dispatcher_.reset();
  objects_.reset();
  pool_.reset();
  {
    std::lock_guard<std::mutex> guard(liveMachinesLock);
    liveMachines.erase(std::find(liveMachines.begin(), liveMachines.end(), this));
  }
  if (previousCurrent_ != nullptr) CurrentThreadState().machine = previousCurrent_;
}

Machine* Machine::Current() {
  Machine* machine = CurrentThreadState().machine;
  if (machine != nullptr) return machine;
  std::lock_guard<std::mutex> guard(liveMachinesLock);
  return liveMachines.size() == 1 ? liveMachines.front() : nullptr;
}

Machine& Machine::CurrentChecked() {
  Machine* machine = Current();
  if (machine == nullptr) {
    std::fprintf(stderr, "platform call on a thread that belongs to no machine\n");
    std::abort();
  }
  return *machine;
}

uint64_t Machine::Now() const { return dispatcher_->Now(); }

void Machine::RunFor(uint64_t duration) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(duration);
  if (duration == 0) return;
  dispatcher_->Wait(CurrentThreadForWait(), 0, nullptr, WaitAny, &interval);
}

bool Machine::RunUntil(const std::function<bool()>& done, uint64_t limit, uint64_t step) {
  uint64_t deadline = Now() + limit;
  for (;;) {
    if (done()) return true;
    uint64_t now = Now();
    if (now >= deadline) return false;
    RunFor(std::min(step, deadline - now));
  }
}

Machine::TimerResolutionState Machine::timerResolution() const {
  std::lock_guard<std::mutex> guard(resolutionLock_);
  return resolution_;
}

ULONG Machine::SetTimerResolution(ULONG desired, bool set) {
  constexpr ULONG kMinimum = 5'000;    // 0.5 ms
  constexpr ULONG kDefault = 156'250;  // 15.625 ms
  std::lock_guard<std::mutex> guard(resolutionLock_);
  if (set) {
    ++resolution_.setCalls;
    ++resolution_.activeRequests;
    resolution_.current = std::min(resolution_.current, std::clamp(desired, kMinimum, kDefault));
  } else {
    ++resolution_.releaseCalls;
    if (resolution_.activeRequests > 0 && --resolution_.activeRequests == 0) resolution_.current = kDefault;
  }
  return resolution_.current;
}

}  // namespace sim
