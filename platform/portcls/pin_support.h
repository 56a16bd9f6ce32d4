// What the WaveCyclic and MIDI pins share: a spin lock held for a
// scope, the one-step-at-a-time KS state walk that keeps the running flag
// in step with the stream, and counting overrun episodes.
//
// The helpers take the caller's location and hand it to the spin lock
// calls, so the verifier still names the pin's code, not this header.
#pragma once

#include <cstdint>
#include <source_location>

#include <portcls.h>

namespace sim::portcls {

class ScopedSpinLock {
 public:
  explicit ScopedSpinLock(PKSPIN_LOCK lock,
                   const std::source_location& caller = std::source_location::current())
      : lock_(lock), caller_(caller) {
    KeAcquireSpinLock(lock_, &irql_, caller_);
  }
  ~ScopedSpinLock() { KeReleaseSpinLock(lock_, irql_, caller_); }
  ScopedSpinLock(const ScopedSpinLock&) = delete;
  ScopedSpinLock& operator=(const ScopedSpinLock&) = delete;

 private:
  PKSPIN_LOCK lock_;
  std::source_location caller_;
  KIRQL irql_;
};

// Walks `state` to `target` through the stream one step at a time. `running`
// (guarded by `lock`) is cleared before the stream leaves RUN, put back if
// it refuses, and set on reaching RUN, where `onRunLocked` runs under the
// lock too. The stream's SetState is called with no lock held.
template <class Stream, class OnRunLocked>
NTSTATUS WalkPinState(Stream* stream, KSSTATE& state, KSSTATE target, PKSPIN_LOCK lock,
                      bool& running, OnRunLocked onRunLocked,
                      const std::source_location& caller = std::source_location::current()) {
  if (!stream) return STATUS_INVALID_DEVICE_STATE;
  if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  while (state != target) {
    KSSTATE next = static_cast<KSSTATE>(state < target ? state + 1 : state - 1);
    if (state == KSSTATE_RUN) {
      ScopedSpinLock held(lock, caller);
      running = false;
    }
    NTSTATUS status = stream->SetState(next);
    if (!NT_SUCCESS(status)) {
      if (state == KSSTATE_RUN) {
        ScopedSpinLock held(lock, caller);
        running = true;
      }
      return status;
    }
    state = next;
    if (next == KSSTATE_RUN) {
      ScopedSpinLock held(lock, caller);
      running = true;
      onRunLocked();
    }
  }
  return STATUS_SUCCESS;
}

// Bytes that did not fit: counts them, and one overrun per unbroken run of
// passes that lose bytes.
inline void CountOverflow(size_t lost, bool& overflowing, uint64_t& overruns,
                          uint64_t& droppedBytes) {
  if (lost) {
    droppedBytes += lost;
    if (!overflowing) ++overruns;
    overflowing = true;
  } else {
    overflowing = false;
  }
}

// A pin answers IUnknown and IServiceSink with its sink.
inline void* QueryPin(IServiceSink* sink, REFIID iid) {
  if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IServiceSink)) return sink;
  return nullptr;
}

}  // namespace sim::portcls
