// User-mode events and threads are the kernel's dispatcher objects: a driver
// references them by the user's handle, signals the events and waits for
// the threads.

#include "tests/platform/win32/win32_fixture.h"

namespace {

using win32test::Relative;
using win32test::Win32Test;

using UserKernelObjects = Win32Test;

VOID NTAPI SetAfterFiveMilliseconds(PVOID event) {
  LARGE_INTEGER delay = Relative(5 * sim::kMillisecond);
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
}

TEST_F(UserKernelObjects, ADriverSignalsAUserEventByItsHandle) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  // In the caller's context, as a control request handler does.
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE | EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object,
                                      nullptr),
            STATUS_SUCCESS);
  CloseHandle(event);  // the driver's reference keeps the event

  HANDLE setter = nullptr;
  ASSERT_EQ(PsCreateSystemThread(&setter, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SetAfterFiveMilliseconds,
                                 object),
            STATUS_SUCCESS);
  uint64_t start = machine.Now();
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, UserMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(MillisecondsSince(start), 5u);
  EXPECT_EQ(WaitForSingleObject(setter, INFINITE), WAIT_OBJECT_0);
  CloseHandle(setter);
  ObDereferenceObject(object);
}

TEST_F(UserKernelObjects, AUserWaitSeesTheKernelsSignal) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr),
            STATUS_SUCCESS);
  HANDLE setter = nullptr;
  PsCreateSystemThread(&setter, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, SetAfterFiveMilliseconds, object);
  uint64_t start = machine.Now();
  EXPECT_EQ(WaitForSingleObject(event, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(MillisecondsSince(start), 5u);
  EXPECT_EQ(WaitForSingleObject(setter, INFINITE), WAIT_OBJECT_0);
  ObDereferenceObject(object);
  CloseHandle(setter);
  CloseHandle(event);
}

DWORD WINAPI SleepThenReturnSeven(LPVOID) {
  Sleep(20);
  return 7;
}

TEST_F(UserKernelObjects, ADriverWaitsForAUserThreadToEnd) {
  HANDLE thread = CreateThread(nullptr, 0, SleepThenReturnSeven, nullptr, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, UserMode, &object, nullptr),
            STATUS_SUCCESS);
  CloseHandle(thread);
  uint64_t start = machine.Now();
  EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(MillisecondsSince(start), 20u);
  EXPECT_EQ(static_cast<PKTHREAD>(object)->process, &machine.objects().userProcess());
  ObDereferenceObject(object);
}

TEST_F(UserKernelObjects, ADriverRefusesAHandleOfTheWrongType) {
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, SleepThenReturnSeven, nullptr, 0, nullptr);
  PVOID object = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *PsThreadType, UserMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(ObReferenceObjectByHandle(thread, SYNCHRONIZE, *ExEventObjectType, UserMode, &object, nullptr),
            STATUS_OBJECT_TYPE_MISMATCH);
  EXPECT_EQ(object, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(event);
}

}  // namespace
