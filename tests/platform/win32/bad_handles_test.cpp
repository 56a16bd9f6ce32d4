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
};

// Calls that name one object type; any other type is a bad handle to them.
const Call kTypedCalls[] = {
    {"SetEvent", [](HANDLE h) { return SetEvent(h) != FALSE; }, true},
    {"ResetEvent", [](HANDLE h) { return ResetEvent(h) != FALSE; }, true},
    {"GetExitCodeThread",
     [](HANDLE h) {
       DWORD code;
       return GetExitCodeThread(h, &code) != FALSE;
     },
     false},
    {"SetThreadPriority", [](HANDLE h) { return SetThreadPriority(h, THREAD_PRIORITY_NORMAL) != FALSE; }, false},
};
// Calls for which an event or a thread will do.
const Call kAnyTypeCalls[] = {
    {"WaitForSingleObject", [](HANDLE h) { return WaitForSingleObject(h, 0) != WAIT_FAILED; }, true},
    {"CloseHandle", [](HANDLE h) { return CloseHandle(h) != FALSE; }, true},
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
  SetLastError(0);
  EXPECT_FALSE(call.call(Make(kind, call)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

std::string CaseName(const testing::TestParamInfo<BadHandleCase>& info) {
  static const char* const kinds[] = {"Null", "Invalid", "Closed", "Kernel", "WrongType"};
  return std::string(std::get<0>(info.param).name) + "_" + kinds[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(TypedCalls, BadHandles,
                         testing::Combine(testing::ValuesIn(kTypedCalls),
                                          testing::Values(BadHandle::Null, BadHandle::Invalid, BadHandle::Closed,
                                                          BadHandle::Kernel, BadHandle::WrongType)),
                         CaseName);
INSTANTIATE_TEST_SUITE_P(AnyTypeCalls, BadHandles,
                         testing::Combine(testing::ValuesIn(kAnyTypeCalls),
                                          testing::Values(BadHandle::Null, BadHandle::Invalid, BadHandle::Closed,
                                                          BadHandle::Kernel)),
                         CaseName);

}  // namespace
