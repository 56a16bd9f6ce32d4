// System threads: handles, waiting for a thread's end, exit status, and the
// handle checks of ObReferenceObjectByHandle.

#include <gtest/gtest.h>

#include <atomic>

#include "platform/sim/machine.h"
#include "platform/sim/objects.h"

namespace {

struct ThreadRecord {
  KIRQL irql = HIGH_LEVEL;
  KPRIORITY previousPriority = 0;
  std::atomic<bool> ran{false};
};

void RecordAndTerminate(PVOID context) {
  auto* record = static_cast<ThreadRecord*>(context);
  record->irql = KeGetCurrentIrql();
  record->previousPriority = KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  record->ran = true;
  PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(SystemThreads, ThreadRunsAtPassiveLevelAndItsObjectIsSignalledAtExit) {
  sim::Machine machine;
  ThreadRecord record;
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RecordAndTerminate, &record),
            STATUS_SUCCESS);
  PKTHREAD thread;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode,
                                      reinterpret_cast<PVOID*>(&thread), nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(record.ran);
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);
  EXPECT_EQ(KeQueryPriorityThread(thread), LOW_REALTIME_PRIORITY);
  ObDereferenceObject(thread);
}

TEST(SystemThreads, HandleChecks) {
  sim::Machine machine;
  KEVENT* event = static_cast<KEVENT*>(machine.objects().CreateObject(*ExEventObjectType, sizeof(KEVENT)));
  KeInitializeEvent(event, NotificationEvent, FALSE);
  HANDLE kernelHandle, userHandle;
  ASSERT_EQ(machine.objects().CreateHandle(event, EVENT_ALL_ACCESS, true, nullptr, &kernelHandle), STATUS_SUCCESS);
  ASSERT_EQ(machine.objects().CreateHandle(event, SYNCHRONIZE, false, nullptr, &userHandle), STATUS_SUCCESS);
  machine.objects().Dereference(event);  // the handles keep it

  struct Case {
    const char* what;
    HANDLE handle;
    ACCESS_MASK access;
    POBJECT_TYPE type;
    KPROCESSOR_MODE mode;
    NTSTATUS expected;
  } cases[] = {
      {"kernel handle, kernel mode", kernelHandle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, STATUS_SUCCESS},
      {"kernel handle from user mode", kernelHandle, SYNCHRONIZE, *ExEventObjectType, UserMode, STATUS_INVALID_HANDLE},
      {"wrong type", userHandle, SYNCHRONIZE, *PsThreadType, KernelMode, STATUS_OBJECT_TYPE_MISMATCH},
      {"user handle, granted access", userHandle, SYNCHRONIZE, *ExEventObjectType, UserMode, STATUS_SUCCESS},
      {"user handle, access not granted", userHandle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode,
       STATUS_ACCESS_DENIED},
      {"user handle, kernel mode skips the access check", userHandle, EVENT_MODIFY_STATE, *ExEventObjectType,
       KernelMode, STATUS_SUCCESS},
      {"never issued", reinterpret_cast<HANDLE>(0x1234), SYNCHRONIZE, nullptr, KernelMode, STATUS_INVALID_HANDLE},
      {"null", nullptr, SYNCHRONIZE, nullptr, KernelMode, STATUS_INVALID_HANDLE},
  };
  for (const auto& c : cases) {
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(ObReferenceObjectByHandle(c.handle, c.access, c.type, c.mode, &object, nullptr), c.expected) << c.what;
    if (NT_SUCCESS(c.expected)) {
      EXPECT_EQ(object, event) << c.what;
      ObDereferenceObject(object);
    } else {
      EXPECT_EQ(object, nullptr) << c.what;
    }
  }
  EXPECT_EQ(ZwClose(kernelHandle), STATUS_SUCCESS);
  EXPECT_EQ(ZwClose(kernelHandle), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(userHandle), STATUS_SUCCESS);
  EXPECT_EQ(machine.objects().liveObjects(), 2u);  // the main thread and the DPC processor
}

struct PingPong {
  KEVENT ping, pong;
  int rounds = 0;
};

void Ponger(PVOID context) {
  auto* p = static_cast<PingPong*>(context);
  for (int i = 0; i < 100; ++i) {
    KeWaitForSingleObject(&p->ping, Executive, KernelMode, FALSE, nullptr);
    ++p->rounds;
    KeSetEvent(&p->pong, IO_NO_INCREMENT, FALSE);
  }
}

TEST(SystemThreads, EventsHandOffBetweenThreadsWithoutTimePassing) {
  sim::Machine machine;
  PingPong p;
  KeInitializeEvent(&p.ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&p.pong, SynchronizationEvent, FALSE);
  HANDLE handle;
  ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Ponger, &p), STATUS_SUCCESS);
  for (int i = 0; i < 100; ++i) {
    KeSetEvent(&p.ping, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&p.pong, Executive, KernelMode, FALSE, nullptr);
  }
  EXPECT_EQ(p.rounds, 100);
  EXPECT_EQ(KeQueryInterruptTime(), 0u);
  PVOID thread;
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(thread);
  ZwClose(handle);
}

}  // namespace
