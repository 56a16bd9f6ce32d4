// Time since the machine started, from its interrupt-time clock, and the
// multimedia timer period requests.

#include "platform/win32/win32_calls.h"

#include <map>
#include <mmsystem.h>

#include "platform/sim/machine.h"

namespace {

uint64_t Milliseconds() { return sim::Machine::CurrentChecked().Now() / sim::kMillisecond; }

// Outstanding timeBeginPeriod requests, per period.
class TimerPeriods : public sim::Service {
 public:
  explicit TimerPeriods(sim::Machine&) {}
  void Begin(UINT period) {
    std::lock_guard<std::mutex> guard(lock_);
    ++open_[period];
  }
  bool End(UINT period) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = open_.find(period);
    if (it == open_.end()) return false;
    if (--it->second == 0) open_.erase(it);
    return true;
  }

 private:
  std::mutex lock_;
  std::map<UINT, int> open_;
};

constexpr UINT kMinimumPeriod = 1;
constexpr UINT kMaximumPeriod = 1'000'000;

}  // namespace

DWORD timeGetTime() { return static_cast<DWORD>(Milliseconds()); }

MMRESULT timeBeginPeriod(UINT uPeriod) {
  if (uPeriod < kMinimumPeriod || uPeriod > kMaximumPeriod) return TIMERR_NOCANDO;
  sim::Machine::CurrentChecked().service<TimerPeriods>().Begin(uPeriod);
  return TIMERR_NOERROR;
}

MMRESULT timeEndPeriod(UINT uPeriod) {
  return sim::Machine::CurrentChecked().service<TimerPeriods>().End(uPeriod) ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

DWORD GetTickCount() { return static_cast<DWORD>(Milliseconds()); }

ULONGLONG GetTickCount64() { return Milliseconds(); }

BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
  if (lpPerformanceCount == nullptr) return sim::win32::Fail(ERROR_INVALID_PARAMETER);
  lpPerformanceCount->QuadPart = static_cast<LONGLONG>(sim::Machine::CurrentChecked().Now());
  return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
  if (lpFrequency == nullptr) return sim::win32::Fail(ERROR_INVALID_PARAMETER);
  lpFrequency->QuadPart = static_cast<LONGLONG>(sim::kSecond);
  return TRUE;
}
