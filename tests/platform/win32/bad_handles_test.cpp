// Every call that takes a handle fails with ERROR_INVALID_HANDLE for one
// that is not a usable user handle of the right type, and changes nothing.

#include "tests/platform/win32/win32_fixture.h"

namespace {

using win32test::Win32Test;

enum class BadHandle { Null, Invalid, Closed, Kernel, WrongType };

struct Call {
  const char* name;
  bool (*call)(HANDLE);
  bool takesEvents;  // else threads; decides what "wrong type" means
  bool typed;        // the call names one object type
};

const Call kCalls[] = {
    {"SetEvent", [](HANDLE h) { return SetEvent(h) != FALSE; }, true, true},
    {"ResetEvent", [](HANDLE h) { return ResetEvent(h) != FALSE; }, true, true},
    {"WaitForSingleObject", [](HANDLE h) { return WaitForSingleObject(h, 0) != WAIT_FAILED; }, true, false},
    {"CloseHandle", [](HANDLE h) { return CloseHandle(h) != FALSE; }, true, false},
    {"GetExitCodeThread",
     [](HANDLE h) {
       DWORD code;
       return GetExitCodeThread(h, &code) != FALSE;
     },
     false, true},
    {"SetThreadPriority", [](HANDLE h) { return SetThreadPriority(h, THREAD_PRIORITY_NORMAL) != FALSE; }, false,
     true},
};

VOID NTAPI ReturnAtOnce(PVOID) {}

using BadHandleCase = std::tuple<Call, BadHandle>;

class BadHandles : public Win32Test, public testing::WithParamInterface<BadHandleCase> {
 protected:
  void SetUp() override {
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&kernelThread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ReturnAtOnce,
                                   nullptr),
              STATUS_SUCCESS);
    closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    CloseHandle(closed);
  }
  void TearDown() override {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(event);
    PVOID object = nullptr;
    ObReferenceObjectByHandle(kernelThread, SYNCHRONIZE, *PsThreadType, KernelMode, &object, nullptr);
    KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(object);
    ZwClose(kernelThread);
  }

  HANDLE Make(BadHandle kind, const Call& call) const {
    switch (kind) {
      case BadHandle::Null: return nullptr;
      case BadHandle::Invalid: return INVALID_HANDLE_VALUE;
      case BadHandle::Closed: return closed;
      case BadHandle::Kernel: return kernelThread;
      case BadHandle::WrongType: return call.takesEvents ? thread : event;
    }
    return nullptr;
  }

  HANDLE event = nullptr;
  HANDLE thread = nullptr;
  HANDLE kernelThread = nullptr;
  HANDLE closed = nullptr;
};

TEST_P(BadHandles, FailWithInvalidHandle) {
  const auto& [call, kind] = GetParam();
  if (kind == BadHandle::WrongType && !call.typed) GTEST_SKIP() << "any type will do for " << call.name;
  SetLastError(0);
  EXPECT_FALSE(call.call(Make(kind, call)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

std::string CaseName(const testing::TestParamInfo<BadHandleCase>& info) {
  static const char* const kinds[] = {"Null", "Invalid", "Closed", "Kernel", "WrongType"};
  return std::string(std::get<0>(info.param).name) + "_" + kinds[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Calls, BadHandles,
                         testing::Combine(testing::ValuesIn(kCalls),
                                          testing::Values(BadHandle::Null, BadHandle::Invalid, BadHandle::Closed,
                                                          BadHandle::Kernel, BadHandle::WrongType)),
                         CaseName);

}  // namespace
