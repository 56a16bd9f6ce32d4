// A simulated machine: the clock, the dispatcher, DPC processors, pool,
// object manager and every later subsystem (registry, I/O, buses) hang off
// one Machine, so each test gets fresh state and nothing leaks between them.
//
// Only sim/, tools and tests include this header; deliverables see the
// machine solely through the Windows-named headers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include <wdm.h>

namespace sim {

class Dispatcher;
class Pool;
class ObjectManager;
class Verifier;

enum class ClockMode { Virtual, RealTime };

struct MachineOptions {
  ClockMode clock = ClockMode::Virtual;
  unsigned dpcProcessors = 1;
  // Report pool blocks, threads and timers left behind at teardown.
  bool leakCheck = true;
};

// Interrupt-time units.
constexpr uint64_t kMicrosecond = 10;
constexpr uint64_t kMillisecond = 10'000;
constexpr uint64_t kSecond = 10'000'000;

// A per-machine subsystem created on first use and torn down with the
// machine, in reverse order of creation. Shutdown() runs while the machine
// is still fully alive (threads, DPCs, clock), before any destruction.
class Service {
 public:
  virtual ~Service() = default;
  virtual void Shutdown() {}
};

class Machine {
 public:
  // The constructing thread becomes a simulated thread of this machine for
  // the machine's lifetime (the test's main thread), and the machine becomes
  // current for it.
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // The machine of the calling thread; threads the machine creates inherit
  // it. Falls back to the only live machine for foreign threads.
  static Machine* Current();
  static Machine& CurrentChecked();

  const MachineOptions& options() const { return options_; }
  ClockMode clockMode() const { return options_.clock; }

  // Interrupt time in 100-ns units.
  uint64_t Now() const;

  // Test helpers; call from a simulated thread. RunFor waits the given
  // interrupt time; RunUntil polls `done` every `step` until it holds or
  // `limit` has passed, and reports whether it held.
  void RunFor(uint64_t duration);
  bool RunUntil(const std::function<bool()>& done, uint64_t limit,
                uint64_t step = 100 * kMicrosecond);

  Dispatcher& dispatcher() { return *dispatcher_; }
  Pool& pool() { return *pool_; }
  ObjectManager& objects() { return *objects_; }

  // Timer resolution as set through ExSetTimerResolution.
  struct TimerResolutionState {
    ULONG current = 156'250;  // 15.625 ms, the default clock interval
    int activeRequests = 0;
    int setCalls = 0;
    int releaseCalls = 0;
  };
  TimerResolutionState timerResolution() const;
  ULONG SetTimerResolution(ULONG desired, bool set);

  // Per-machine subsystems, created on first use.
  template <typename T, typename... Args>
  T& service(Args&&... args) {
    std::lock_guard<std::mutex> guard(servicesLock_);
    for (auto& entry : services_)
      if (entry.type == std::type_index(typeid(T))) return static_cast<T&>(*entry.instance);
    auto instance = std::make_unique<T>(*this, std::forward<Args>(args)...);
    T& ref = *instance;
    services_.push_back({std::type_index(typeid(T)), std::move(instance)});
    return ref;
  }
  template <typename T>
  T* findService() {
    std::lock_guard<std::mutex> guard(servicesLock_);
    for (auto& entry : services_)
      if (entry.type == std::type_index(typeid(T))) return static_cast<T*>(entry.instance.get());
    return nullptr;
  }

 private:
  struct ServiceEntry {
    std::type_index type;
    std::unique_ptr<Service> instance;
  };

  MachineOptions options_;
  std::unique_ptr<Dispatcher> dispatcher_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<ObjectManager> objects_;
  mutable std::mutex resolutionLock_;
  TimerResolutionState resolution_;
  std::mutex servicesLock_;
  std::vector<ServiceEntry> services_;
  PKTHREAD mainThread_ = nullptr;
  Machine* previousCurrent_ = nullptr;
};

// Registers the calling OS thread as a simulated thread of `machine` for the
// scope's lifetime: virtual time does not advance while it runs, only while
// it is blocked in a platform wait.
class ThreadScope {
 public:
  explicit ThreadScope(Machine& machine);
  ~ThreadScope();
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  Machine& machine_;
  PKTHREAD thread_;
  Machine* previous_;
};

}  // namespace sim
